#include "live_feed/resource_budget.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "feed_contract/feed_contract.hpp"

namespace vantle {
namespace {

// What one stream takes at most, measured over UDP (the costlier transport): sockets for RTSP,
// RTP and RTCP plus the wake-up descriptors of its sources, and its OS threads.
constexpr std::uint64_t kStreamDescriptors = 24;
constexpr std::uint64_t kStreamThreads = 8;
// Heap a stream's buffers may need beyond its thread stacks, in address space.
constexpr std::uint64_t kStreamHeapBytes = 64ull << 20;

std::atomic<std::uint64_t> starting_streams{0};

std::optional<std::uint64_t> soft_limit(int resource) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

std::uint64_t count_entries(const char* directory) {
    std::error_code error;
    std::uint64_t count = 0;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        ++count;
    }
    return count;
}

// The fields of /proc/self/status this check uses, each in its own unit; 0 when absent.
struct ProcessStatus {
    std::uint64_t threads = 0;
    std::uint64_t fd_table_size = 0;  // FDSize: slots of the descriptor table, above its highest descriptor
    std::uint64_t virtual_kib = 0;
};

ProcessStatus read_status() {
    ProcessStatus found;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        const auto take = [&line](std::string_view key, std::uint64_t& field) {
            if (line.starts_with(key)) field = std::stoull(line.substr(key.size()));
        };
        take("Threads:", found.threads);
        take("FDSize:", found.fd_table_size);
        take("VmSize:", found.virtual_kib);
    }
    return found;
}

std::uint64_t read_number(const char* path) {
    std::ifstream file(path);
    std::uint64_t value = 0;
    file >> value;
    return value;
}

[[noreturn]] void refuse(const std::string& shown_url, const std::string& limit, std::uint64_t used,
                         std::uint64_t allowed, std::uint64_t needed, const std::string& unit) {
    throw StreamSetupError("Cannot open stream " + shown_url + ": the process would run out of " + limit + " (" +
                           std::to_string(used) + " of " + std::to_string(allowed) + " " + unit +
                           " in use, this stream and those still starting need up to " + std::to_string(needed) +
                           "); streams already open are not affected");
}

}  // namespace

StartingStream::StartingStream() noexcept { starting_streams.fetch_add(1, std::memory_order_relaxed); }

void StartingStream::release() const noexcept {
    if (counted_.load(std::memory_order_relaxed) && counted_.exchange(false)) {
        starting_streams.fetch_sub(1, std::memory_order_relaxed);
    }
}

void check_room_for_stream(const std::string& shown_url) {
    // This stream, and those opened but not yet up, which have not taken their share yet.
    const std::uint64_t streams = 1 + starting_streams.load(std::memory_order_relaxed);
    const std::uint64_t descriptors = streams * kStreamDescriptors;
    const std::uint64_t new_threads = streams * kStreamThreads;
    const ProcessStatus status = read_status();
    // Listing /proc/self/fd costs a kernel lookup per open descriptor, which made each of a
    // thousand constructors slower than the one before: the descriptor table's size bounds the
    // count from above, and the list is read only when that bound comes near the limit.
    const auto may_be_near = [&](std::uint64_t files) {
        return status.fd_table_size == 0 || status.fd_table_size + descriptors > files;
    };
    if (auto files = soft_limit(RLIMIT_NOFILE); files && may_be_near(*files)) {
        const std::uint64_t open = count_entries("/proc/self/fd");
        if (open + descriptors > *files) {
            refuse(shown_url, "file descriptors (RLIMIT_NOFILE)", open, *files, descriptors, "descriptors");
        }
    }
    const std::uint64_t threads = status.threads;
    // The kernel applies RLIMIT_NPROC to the user's threads of all processes, except for root;
    // this process's own threads are the part it can see cheaply.
    if (auto tasks = soft_limit(RLIMIT_NPROC); tasks && geteuid() != 0 && threads + new_threads > *tasks) {
        refuse(shown_url, "threads (RLIMIT_NPROC)", threads, *tasks, new_threads, "threads");
    }
    if (const std::uint64_t most = read_number("/proc/sys/kernel/threads-max"); most > 0 && threads + new_threads > most) {
        refuse(shown_url, "threads (kernel.threads-max)", threads, most, new_threads, "threads");
    }
    if (auto space = soft_limit(RLIMIT_AS)) {
        const std::uint64_t stack = soft_limit(RLIMIT_STACK).value_or(8ull << 20);
        const std::uint64_t needed_mib = streams * ((kStreamThreads * stack + kStreamHeapBytes) >> 20);
        const std::uint64_t used_mib = status.virtual_kib >> 10;
        if (used_mib + needed_mib > (*space >> 20)) {
            refuse(shown_url, "address space (RLIMIT_AS)", used_mib, *space >> 20, needed_mib, "MiB");
        }
    }
}

}  // namespace vantle
