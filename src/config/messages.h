// Every text that the run setup writes to the console. Kept together so the
// exact bytes are in one place; the Windows build compiles them to GBK.
#pragma once

#include <string>
#include <string_view>

inline constexpr std::string_view kBannerTitle = "长连接高并发测试";
inline constexpr std::string_view kBannerCredit = "velkor " VELKOR_VERSION;

// `velkor --version`: the one line it prints, the same number as the banner's.
inline constexpr std::string_view kVersionOption = "--version";
inline constexpr std::string_view kVersionLine = "velkor " VELKOR_VERSION;

inline constexpr std::string_view kWinsockStartFailed = "Winsock全局初始化失败";
inline constexpr std::string_view kUsageLines[] = {
    "用法: velkor -t <时长(秒)> -c <并发数> [-q <目标QPS>] <目标URL>",
    "示例1: velkor -t 10 -c 30 http://127.0.0.1:3000 （不限速）",
    "示例2: velkor -t 10 -c 30 -q 5000 http://127.0.0.1:3000 （限速5000QPS）",
};
inline constexpr std::string_view kOnlyHttpUrls = "仅支持http协议的URL";
inline constexpr std::string_view kBadNumberPrefix = "参数 ";
inline constexpr std::string_view kBadNumberMiddle = " 的值无效: ";
inline constexpr std::string_view kBadNumberRule = "（须为32位有符号整数）";
inline constexpr std::string_view kBadPortPrefix = "URL中的端口无效: ";
inline constexpr std::string_view kBadPortRule = "（须为1到65535之间的整数）";
inline constexpr std::string_view kControlBytePrefix = "URL中含有控制字符: ";
inline constexpr std::string_view kControlByteRule = "（主机名和路径中不能有控制字符）";
inline constexpr std::string_view kBadIpv6Prefix = "URL中的IPv6地址无效: ";
inline constexpr std::string_view kBadIpv6Rule =
    "（须为方括号中的IPv6地址，区域写作 %25，如 [fe80::1%25eth0]）";

// The user's text in double quotes, made safe for a terminal: control bytes
// are shown as \xNN and anything past the first 64 bytes as "...".
std::string quoteForMessage(std::string_view text);

// A file name in double quotes, whole, with control bytes and quotes as \xNN;
// backslashes stay, so a Windows path reads as typed.
std::string quotePath(std::string_view path);

// One line on standard error, flushed (standard error is unit-buffered).
void writeErrorLine(std::string_view text);

inline constexpr std::string_view kCleanupGroupFailed = "创建清理组失败";
inline constexpr std::string_view kThreadPoolFailed = "创建线程池失败";
inline constexpr std::string_view kWorkItemFailed = "创建工作项失败";
inline constexpr std::string_view kReporterFailed = "创建进度线程失败";

// Long options after the URL.
inline constexpr std::string_view kUnknownOptionPrefix = "未知选项: ";
inline constexpr std::string_view kOptionPrefix = "选项 ";
inline constexpr std::string_view kOptionMissingValue = " 缺少值";
inline constexpr std::string_view kOptionRepeated = " 重复出现";
inline constexpr std::string_view kOptionBadValue = " 的值无效: ";
inline constexpr std::string_view kSaveRule = "（须为文件路径）";
inline constexpr std::string_view kAgentRule = "（须为K/N，其中 1 <= K <= N）";
inline constexpr std::string_view kStartAtRule =
    "（须为此刻之后一天之内的Unix时间，单位秒，可带小数）";
inline constexpr std::string_view kSourceRule = "（须为逗号分隔的IPv4或IPv6地址）";
inline constexpr std::string_view kMethodRule = "（须为方法名，只含字母、数字和 !#$%&'*+-.^_`|~）";
inline constexpr std::string_view kHeaderRule =
    "（须为“名称: 值”，名称只含字母、数字和 !#$%&'*+-.^_`|~）";
inline constexpr std::string_view kHeaderControlRule = "（值中不能有制表符以外的控制字符）";
inline constexpr std::string_view kHeaderOwnedRule =
    "（Connection、Content-Length 和 Transfer-Encoding 由 velkor 决定）";
inline constexpr std::string_view kHeaderHostAgainRule = "（Host 只能给一次）";
inline constexpr std::string_view kBodyFileRule = "（须为文件路径）";
inline constexpr std::string_view kConnectRateRule = "（须为每秒新建的连接数，1到999999999的整数）";
inline constexpr std::string_view kWarmupRule = "（须为秒数，且小于 -t 的运行时间）";
// --rate-plan: the step at fault is named, "第2步 "0s:5"：时长为0".
inline constexpr std::string_view kPlanRuleOpen = "（";
inline constexpr std::string_view kPlanRuleClose = "；格式如 30s:1000,60s:1000-5000,30s:5000）";
inline constexpr std::string_view kPlanRuleEnd = "）";
inline constexpr std::string_view kPlanEmpty = "计划为空";
inline constexpr std::string_view kPlanTooManySteps = "计划超过1000步";
inline constexpr std::string_view kPlanStepPrefix = "第";
inline constexpr std::string_view kPlanStepMiddle = "步 ";
inline constexpr std::string_view kPlanStepForm = "：须为“时长:速率”或“时长:起始速率-结束速率”";
inline constexpr std::string_view kPlanLengthNoNumber = "：时长须为整数加单位 s、m 或 h";
inline constexpr std::string_view kPlanLengthUnit = "：时长的数字后须为单位 s、m 或 h";
inline constexpr std::string_view kPlanLengthZero = "：时长为0";
inline constexpr std::string_view kPlanLengthTooLong = "：时长超过1000000秒";
inline constexpr std::string_view kPlanRateNegative = "：速率不能为负";
inline constexpr std::string_view kPlanRateNoNumber =
    "：速率须为整数（每秒请求数），其后不能有其他文字";
inline constexpr std::string_view kPlanRateTooHigh = "：速率超过每秒10000000";
inline constexpr std::string_view kPlanLengthPrefix = "计划共 ";
inline constexpr std::string_view kPlanLengthMiddle = " 秒，须与 -t 的 ";
inline constexpr std::string_view kPlanLengthEnd = " 秒相等";
inline constexpr std::string_view kPlanWithTargetQps = "不能与 -q 同用";

// The --body-file, read once before the run.
inline constexpr std::string_view kBodyFileUnreadable = "无法读取请求体文件: ";
inline constexpr std::string_view kBodyFileTooLarge = "请求体文件太大，内存不足: ";
inline constexpr std::string_view kRunIdRule = "（须为1到64个字母、数字或 - _ . : 字符）";
inline constexpr std::string_view kCaFileUnreadable = "（须为可读的PEM证书文件）";
inline constexpr std::string_view kCaFileNoCertificate = "（文件中没有可用的PEM格式证书）";

// The client certificate (--cert, --key, --key-password-file), checked before the run.
inline constexpr std::string_view kKeyFileUnreadable = "（须为可读的PEM私钥文件）";
inline constexpr std::string_view kKeyFileNoKey = "（文件中没有可用的PEM格式私钥）";
inline constexpr std::string_view kKeyEncrypted =
    "（私钥已加密，须用 --key-password-file 给出密码）";
inline constexpr std::string_view kKeyFormatUnsupported =
    "（本系统读不了这种格式的私钥；可换成不加密的PKCS#8（openssl pkcs8 -topk8 -nocrypt），"
    "RSA私钥也可换成PKCS#1（openssl rsa -traditional））";
inline constexpr std::string_view kKeyMismatch = "（私钥与 --cert 的证书不匹配）";
inline constexpr std::string_view kKeyNotUsable =
    "（本系统的TLS不接受只保存在内存中的私钥，无法提供客户端证书）";
inline constexpr std::string_view kKeyPasswordUnreadable = "（须为可读的密码文件）";
inline constexpr std::string_view kKeyPasswordWrong = "（密码无法解密 --key 的私钥）";
inline constexpr std::string_view kOptionNeedsKey = " 须与 --key 一起给出";
inline constexpr std::string_view kOptionNeedsCert = " 须与 --cert 一起给出";
inline constexpr std::string_view kOptionNeedsHttps = " 只能用于https URL";

// https: set up before the run, and a server certificate refused (once per run).
inline constexpr std::string_view kTlsUnavailable = "TLS初始化失败，无法测试https URL";
inline constexpr std::string_view kCertificateRefused = "服务器证书验证失败: ";
inline constexpr std::string_view kCertificateExpired = "证书已过期或尚未生效";
inline constexpr std::string_view kCertificateUntrusted = "证书不是由受信任的根证书签发的";
inline constexpr std::string_view kCertificateNameMismatch = "证书与URL中的主机名不符";
inline constexpr std::string_view kCertificateInvalid = "证书无效";
inline constexpr std::string_view kCertificateHint =
    "（测试服务器可在URL后加 --insecure 跳过验证，或用 --ca <PEM文件> 信任其证书）";

// A server that asked for a client certificate and ended the handshake (once per run).
inline constexpr std::string_view kClientCertificateMissing =
    "服务器要求客户端证书，而运行时没有给出（可在URL后加 --cert <PEM文件> --key <PEM文件>）";
inline constexpr std::string_view kClientCertificateRefused = "服务器拒绝了客户端证书: ";
inline constexpr std::string_view kClientCertificateUntrusted = "服务器不信任证书的签发者";
inline constexpr std::string_view kClientCertificateOther = "证书不被接受";

// The --source addresses, checked before the run.
inline constexpr std::string_view kSourceBindFailedPrefix = "无法绑定源地址: ";
inline constexpr std::string_view kSourceBindFailedRule = "（须为本机的IP地址）";
inline constexpr std::string_view kSourceFamilyPrefix = "源地址与目标的IP版本不同: ";
inline constexpr std::string_view kSourceNotIpv4 = "（目标通过IPv4连接，源地址须为IPv4地址）";
inline constexpr std::string_view kSourceNotIpv6 = "（目标通过IPv6连接，源地址须为IPv6地址）";

// Reaching the target: --ipv4, --ipv6 and --unix-socket.
inline constexpr std::string_view kOptionNotWith = " 不能与 ";
inline constexpr std::string_view kOptionNotWithEnd = " 同时使用";
inline constexpr std::string_view kNotWithIpv4 = " 不能与 --ipv4 同时使用";
inline constexpr std::string_view kNotWithIpv6 = " 不能与 --ipv6 同时使用";
inline constexpr std::string_view kUnixSocketRule = "（须为Unix套接字的路径，最长107字节）";
inline constexpr std::string_view kUnixSocketUnsupported = " 只能在Linux上使用";
inline constexpr std::string_view kUnixSocketFailedPrefix = "无法连接Unix套接字: ";
inline constexpr std::string_view kUnixSocketMissing = "（路径不存在、不是套接字或无权访问）";
inline constexpr std::string_view kUnixSocketNoListener = "（没有程序在此套接字上监听）";

// The target's host name, looked up once before the run.
inline constexpr std::string_view kHostLookupFailedPrefix = "无法解析主机名: ";
inline constexpr std::string_view kHostLookupNotFound = "（找不到它的IP地址）";
inline constexpr std::string_view kHostLookupNoIpv4 = "（找不到它的IPv4地址）";
inline constexpr std::string_view kHostLookupNoIpv6 = "（找不到它的IPv6地址）";
inline constexpr std::string_view kHostLookupTimedOut = "（1.5秒内没有得到应答）";

// The --save result file.
inline constexpr std::string_view kSaveCannotCreate = "无法创建结果文件: ";
inline constexpr std::string_view kSaveWriteFailed = "结果文件写入失败: ";

// A client count this process cannot hold, refused before the run.
inline constexpr std::string_view kTooManyClientsPrefix = "本进程需运行 ";
inline constexpr std::string_view kTooManyClientsMiddle = " 个客户端，超过可同时打开的连接数上限 ";
inline constexpr std::string_view kTooManyClientsAdvice =
    "；请减少 -c 的值，或用 --agent K/N 把客户端分到多个进程或主机上运行";

// The summary's line of errors by kind. Like the rest of the summary it is
// English and ASCII, the same bytes in the Windows build's GBK. The names
// follow the order of the error kinds (stats/run_result.h).
inline constexpr std::string_view kErrorsByKindLabel = "Errors by kind:      ";
inline constexpr std::string_view kErrorKindNames[] = {
    "connect refused", "connect unanswered", "TLS failed",          "TLS unfinished",
    "closed early",    "malformed",          "response unanswered", "other",
};
// After the count of kind "other": its OS error codes, "(OS error 24 x3, 99 x2)".
inline constexpr std::string_view kOsErrorCodesPrefix = " (OS error ";

// --metrics: the endpoint's address, bound before the run.
inline constexpr std::string_view kMetricsRule =
    "（须为IPv4地址:端口，如 127.0.0.1:9464 或 :9464，端口为1到65535）";
inline constexpr std::string_view kMetricsLingerRule = "（须为秒数，0到3600的整数）";
inline constexpr std::string_view kMetricsLingerAlone =
    "选项 --metrics-linger 须与 --metrics 一起给出";
inline constexpr std::string_view kMetricsListenFailedPrefix = "无法在指标地址上监听: ";
inline constexpr std::string_view kMetricsAddressInUse = "（端口已被占用）";
inline constexpr std::string_view kMetricsAddressNotLocal = "（不是本机的地址）";
inline constexpr std::string_view kMetricsListenRefused = "（系统拒绝监听）";
inline constexpr std::string_view kMetricsThreadFailed = "创建指标线程失败";
