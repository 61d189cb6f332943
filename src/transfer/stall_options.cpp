// The stall limit in each tool's syntax: curl's options, curl's config file, ssh's
// options. One limit, written three ways, all here.
#include <sys/wait.h>

#include "transfer/curl.h"
#include "transfer/sftp.h"

std::string curl_stall_options(uint32_t seconds) {
    const std::string limit = std::to_string(seconds);
    return "--connect-timeout " + limit + " -Y 1 -y " + limit + " ";
}

std::string curl_config_stall_options(uint32_t seconds) {
    const std::string limit = std::to_string(seconds);
    return "connect-timeout = " + limit + "\nspeed-limit = 1\nspeed-time = " + limit + "\n";
}

bool curl_stalled(int status) {
    return status > 0 && WIFEXITED(status) && WEXITSTATUS(status) == k_curl_timed_out;
}

std::string ssh_stall_options(uint32_t seconds) {
    // ssh gives up when the server has not answered its last probes: after
    // (count + 1) intervals of silence, which is the limit or up to 2 s more.
    constexpr uint32_t k_unanswered_probes = 2;
    const uint32_t interval = (seconds + k_unanswered_probes) / (k_unanswered_probes + 1);
    return "-o ConnectTimeout=" + std::to_string(seconds) +
           " -o ServerAliveInterval=" + std::to_string(interval) +
           " -o ServerAliveCountMax=" + std::to_string(k_unanswered_probes) + " ";
}
