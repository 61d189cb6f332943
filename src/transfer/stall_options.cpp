// The stall limit in each tool's syntax: curl's options, curl's config file, ssh's
// options. One limit, written three ways, all here; and how each tool tells of a stall,
// and curl of a dead server; and the rate cap and working files of transfers at once.
#include <sys/wait.h>

#include <algorithm>
#include <cstring>

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

std::string curl_rate_option(uint32_t kib) {
    return kib == 0 ? "" : "--limit-rate " + std::to_string(kib) + "K ";
}

uint32_t rate_per_transfer(uint32_t rate_kib, uint32_t transfers) {
    if (rate_kib == 0 || transfers <= 1) return rate_kib;
    return std::max<uint32_t>(1, rate_kib / transfers);
}

std::string run_file(const char* path, unsigned run) {
    return run == 0 ? path : std::string(path) + '.' + std::to_string(run + 1);
}

std::string curl_config_rate_option(uint32_t kib) {
    return kib == 0 ? "" : "limit-rate = " + std::to_string(kib) + "K\n";
}

bool curl_stalled(int status) {
    return status > 0 && WIFEXITED(status) && WEXITSTATUS(status) == k_curl_timed_out;
}

Outcome curl_outcome(int code) {
    constexpr int k_host_not_resolved = 6;
    constexpr int k_connection_refused = 7;
    constexpr int k_login_denied = 67;
    switch (code) {
        case 0: return Outcome::sent;
        case k_curl_timed_out: return Outcome::stalled;
        case k_host_not_resolved:
        case k_connection_refused:
        case k_login_denied: return Outcome::unreachable;
        default: return Outcome::failed;
    }
}

bool sftp_stalled(int status, uint64_t session_seconds, uint32_t stall_seconds,
                  const char* error_lines) {
    // sftp's exit status once its connection ended, whatever ended it.
    constexpr int k_sftp_connection_lost = 255;
    if (status <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != k_sftp_connection_lost)
        return false;
    if (session_seconds < stall_seconds) return false;
    // Each line is followed by "; " in the joined text. Lines that name no cause:
    // sftp's first and last words, and what sftp says of its own channel to the ssh
    // that gave up, depending on whether it was writing or reading at that moment.
    for (const char* line = error_lines; *line != '\0';) {
        const char* end = strstr(line, "; ");
        const size_t length = end == nullptr ? strlen(line) : static_cast<size_t>(end - line);
        const std::string text(line, length);
        if (text.find_first_not_of("\r\n") != std::string::npos &&
            text.rfind("Connected to ", 0) != 0 && text != "Connection closed" &&
            text.rfind("Couldn't send packet: ", 0) != 0 &&
            text.rfind("Couldn't read packet: ", 0) != 0)
            return false;
        line += end == nullptr ? length : length + 2;
    }
    return true;
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
