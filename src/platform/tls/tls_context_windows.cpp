// The run's TLS context on Windows: Schannel credentials shared by every
// connection, and the --ca certificates with a chain engine that trusts them.
#include <cstddef>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/tls/schannel_windows.h"

namespace {

// Schannel of Windows 10 before 1809 knows only the older SCHANNEL_CRED; there
// TLS 1.3 does not exist, so TLS 1.2 alone is asked for.
SECURITY_STATUS acquireOlderCredentials(CredHandle& handle, PCCERT_CONTEXT* certificate) {
    SCHANNEL_CRED credentials{};
    credentials.cCreds = *certificate != nullptr ? 1 : 0;
    credentials.paCred = *certificate != nullptr ? certificate : nullptr;
    credentials.dwVersion = SCHANNEL_CRED_VERSION;
    credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    credentials.dwFlags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    return AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W),
                                     SECPKG_CRED_OUTBOUND, nullptr, &credentials, nullptr, nullptr,
                                     &handle, nullptr);
}

// Client credentials for TLS 1.2 and 1.3. The certificate is checked by hand
// after the handshake (Wine's Schannel would accept any). The client's own
// certificate, when given, is the only one Schannel may offer: never one of
// the user's stores.
bool acquireCredentials(CredHandle& handle, PCCERT_CONTEXT clientCertificate) {
    PCCERT_CONTEXT certificates[] = {clientCertificate};
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols =
        SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
    SCH_CREDENTIALS credentials{};
    credentials.dwVersion = SCH_CREDENTIALS_VERSION;
    credentials.dwFlags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    credentials.cTlsParameters = 1;
    credentials.pTlsParameters = &parameters;
    credentials.cCreds = clientCertificate != nullptr ? 1 : 0;
    credentials.paCred = clientCertificate != nullptr ? certificates : nullptr;
    SECURITY_STATUS status = AcquireCredentialsHandleW(
        nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &credentials,
        nullptr, nullptr, &handle, nullptr);
    if (status != SEC_E_OK) status = acquireOlderCredentials(handle, certificates);
    return status == SEC_E_OK;
}

// Adds one PEM block, header and footer included, to the store.
bool addPemCertificate(HCERTSTORE store, std::string_view block) {
    DWORD derBytes = 0;
    const auto length = static_cast<DWORD>(block.size());
    if (!CryptStringToBinaryA(block.data(), length, CRYPT_STRING_BASE64HEADER, nullptr, &derBytes,
                              nullptr, nullptr)) {
        return false;
    }
    std::vector<BYTE> der(derBytes);
    if (!CryptStringToBinaryA(block.data(), length, CRYPT_STRING_BASE64HEADER, der.data(),
                              &derBytes, nullptr, nullptr)) {
        return false;
    }
    return CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), derBytes,
                                            CERT_STORE_ADD_USE_EXISTING, nullptr);
}

// Every "CERTIFICATE" block of the PEM text into the store; other blocks
// (keys, parameters) are passed over. None found, or one malformed: an error.
TlsContextError addPemCertificates(HCERTSTORE store, std::string_view text) {
    constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    std::size_t added = 0;
    for (std::size_t begin = text.find(kBegin); begin != std::string_view::npos;
         begin = text.find(kBegin, begin + kBegin.size())) {
        const std::size_t end = text.find(kEnd, begin);
        if (end == std::string_view::npos) return TlsContextError::CaFileHasNoCertificate;
        const std::string_view block = text.substr(begin, end + kEnd.size() - begin);
        if (!addPemCertificate(store, block)) return TlsContextError::CaFileHasNoCertificate;
        ++added;
    }
    return added == 0 ? TlsContextError::CaFileHasNoCertificate : TlsContextError::None;
}

// An engine whose only roots are the --ca certificates, any of which may end
// a chain, a CA's intermediate too. No URL is fetched: a client fiber must
// not block on the network. Wine knows the Windows 7 form of the
// configuration only, without the flag for intermediates: it is tried next.
bool createCaEngine(TlsContext& context) {
    CERT_CHAIN_ENGINE_CONFIG config{};
    config.cbSize = sizeof(config);
    config.cAdditionalStore = 1;
    config.rghAdditionalStore = &context.caStore;
    config.dwFlags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
    config.hExclusiveRoot = context.caStore;
    config.dwExclusiveFlags = CERT_CHAIN_EXCLUSIVE_ENABLE_CA_FLAG;
    if (CertCreateCertificateChainEngine(&config, &context.caEngine)) return true;
    config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
    config.dwExclusiveFlags = 0;
    if (CertCreateCertificateChainEngine(&config, &context.caEngine)) return true;
    context.caEngine = nullptr;
    return false;
}

TlsContextError loadCaFile(TlsContext& context, const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return TlsContextError::CaFileUnreadable;
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad()) return TlsContextError::CaFileUnreadable;
    context.caStore =
        CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    if (context.caStore == nullptr) return TlsContextError::TlsUnavailable;
    const TlsContextError error = addPemCertificates(context.caStore, text);
    if (error != TlsContextError::None) return error;
    if (!createCaEngine(context)) return TlsContextError::TlsUnavailable;
    return TlsContextError::None;
}

}  // namespace

TlsContext* createTlsContext(const TlsSettings& settings, TlsContextError& error) {
    auto context = std::make_unique<TlsContext>();
    SecInvalidateHandle(&context->credentials);
    context->verifyPeer = settings.verifyPeer;
    error = TlsContextError::None;
    if (!settings.caFile.empty()) error = loadCaFile(*context, settings.caFile);
    if (error == TlsContextError::None) error = loadClientCertificate(context->client, settings);
    if (error == TlsContextError::None &&
        !acquireCredentials(context->credentials, context->client.certificate)) {
        SecInvalidateHandle(&context->credentials);
        // Schannel that will not take a key held in memory only (Wine's
        // reads it from a key container) refuses the credentials.
        error = context->client.certificate != nullptr ? TlsContextError::KeyNotUsable
                                                       : TlsContextError::TlsUnavailable;
    }
    if (error != TlsContextError::None) {
        freeTlsContext(context.release());
        return nullptr;
    }
    return context.release();
}

void freeTlsContext(TlsContext* context) {
    if (context == nullptr) return;
    if (SecIsValidHandle(&context->credentials)) FreeCredentialsHandle(&context->credentials);
    if (context->caEngine != nullptr) CertFreeCertificateChainEngine(context->caEngine);
    if (context->caStore != nullptr) CertCloseStore(context->caStore, 0);
    freeClientCertificate(context->client);
    delete context;
}

TlsSession* createTlsSession() {
    return new TlsSession{};
}

void freeTlsSession(TlsSession* session) {
    delete session;
}
