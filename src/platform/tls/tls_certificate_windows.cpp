// The server certificate checked by hand after the handshake, as Windows
// clients do: Wine's Schannel validates nothing, even when asked to. The
// chain is built by CryptoAPI and judged by its SSL policy with the host.
#include <cstring>

#include "platform/tls/schannel_windows.h"

namespace {

// What the chain's own trust status says, so that the reason depends on the
// certificate only and not on which single error the policy names first; the
// policy's error is used for what the status does not tell (the name). An
// untrusted root comes before expiry: a chain the system's roots do not
// trust is judged again on the --ca certificates.
TlsOpenResult resultFor(DWORD policyError, DWORD trustErrors) {
    if (policyError == 0) return TlsOpenResult::Open;
    constexpr DWORD kUntrusted =
        CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC;
    if ((trustErrors & kUntrusted) != 0) return TlsOpenResult::UntrustedRoot;
    if ((trustErrors & CERT_TRUST_IS_NOT_TIME_VALID) != 0) return TlsOpenResult::Expired;
    switch (policyError) {
        case static_cast<DWORD>(CERT_E_EXPIRED):
            return TlsOpenResult::Expired;
        case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
        case static_cast<DWORD>(CERT_E_CHAINING):
            return TlsOpenResult::UntrustedRoot;
        case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
            return TlsOpenResult::NameMismatch;
        default:
            return TlsOpenResult::VerifyFailed;
    }
}

// Builds the chain from the server's certificate (with the intermediates it
// sent) on the engine's roots and judges it for a TLS server of that name;
// a null name skips the name. Nothing is fetched from the network, and
// revocation is not checked: the fiber running this must not block.
TlsOpenResult judgeChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT certificate,
                         const wchar_t* serverName) {
    LPSTR serverUsage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof(chainPara);
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = serverUsage;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(engine, certificate, nullptr, certificate->hCertStore, &chainPara,
                                 CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain)) {
        return TlsOpenResult::VerifyFailed;
    }
    HTTPSPolicyCallbackData ssl{};
    ssl.cbStruct = sizeof(ssl);
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = const_cast<wchar_t*>(serverName);
    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof(policyPara);
    policyPara.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof(status);
    const BOOL judged =
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &status);
    const DWORD trustErrors = chain->TrustStatus.dwErrorStatus;
    CertFreeCertificateChain(chain);
    return judged ? resultFor(status.dwError, trustErrors) : TlsOpenResult::VerifyFailed;
}

// Whether the certificate's subject alternative names hold the address. The
// SSL policy compares DNS names only, on Wine at least.
bool namesAddress(PCCERT_CONTEXT certificate, const std::string& address) {
    const CERT_INFO& info = *certificate->pCertInfo;
    const PCERT_EXTENSION extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info.cExtension, info.rgExtension);
    if (extension == nullptr) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD namesBytes = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                             &namesBytes)) {
        return false;
    }
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                entry.IPAddress.cbData == address.size() &&
                std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
    }
    LocalFree(names);
    return found;
}

// The system's roots first; a chain they do not trust is tried again on the
// --ca certificates, whose answer is then the one given.
TlsOpenResult judgeCertificate(const TlsContext& context, PCCERT_CONTEXT certificate,
                               std::string_view host) {
    std::string address;
    const bool isAddress = parseAddressHost(host, address);
    const std::wstring name = isAddress ? std::wstring() : widenHost(host);
    const wchar_t* serverName = isAddress ? nullptr : name.c_str();
    TlsOpenResult result = judgeChain(nullptr, certificate, serverName);
    if (result == TlsOpenResult::UntrustedRoot && context.caEngine != nullptr) {
        result = judgeChain(context.caEngine, certificate, serverName);
    }
    if (result == TlsOpenResult::Open && isAddress && !namesAddress(certificate, address)) {
        result = TlsOpenResult::NameMismatch;
    }
    return result;
}

}  // namespace

TlsOpenResult checkServerCertificate(const TlsContext& context, TlsStream& stream,
                                     std::string_view host) {
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesW(&stream.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
            SEC_E_OK ||
        certificate == nullptr) {
        return TlsOpenResult::VerifyFailed;
    }
    const TlsOpenResult result = judgeCertificate(context, certificate, host);
    CertFreeCertificateContext(certificate);
    return result;
}

// Schannel turns the server's fatal alert into a status of its own; the
// ones about a certificate are read as about the client's, which is the one
// the server judged.
TlsOpenResult clientCertificateVerdict(const TlsStream& stream, SECURITY_STATUS status) {
    if (!stream.certificateGiven) {
        return stream.certificateRequested ? TlsOpenResult::ClientCertificateMissing
                                           : TlsOpenResult::Failed;
    }
    switch (status) {
        case SEC_E_UNTRUSTED_ROOT:
            return TlsOpenResult::ClientCertificateUntrusted;
        case SEC_E_CERT_EXPIRED:
            return TlsOpenResult::ClientCertificateExpired;
        case SEC_E_CERT_UNKNOWN:
        case SEC_E_CERT_WRONG_USAGE:
            return TlsOpenResult::ClientCertificateRefused;
        default:
            return TlsOpenResult::Failed;
    }
}
