#include "server_state.h"

namespace target {

std::atomic<uint64_t> g_servedCount{0};
std::atomic<uint64_t> g_acceptedCount{0};
std::atomic<int64_t> g_sendingCount{0};

}  // namespace target
