#pragma once

#include <atomic>
#include <string>


namespace vantle {

// Checks that the process can afford one more stream before any of it is built: file
// descriptors (RLIMIT_NOFILE), threads (RLIMIT_NPROC and the kernel's threads-max) and address
// space (RLIMIT_AS). Throws StreamSetupError naming the limit that would run out, so a process at
// its limits refuses stream 1,001 clearly, and the streams already open keep theirs.
// Streams whose sockets and threads are still being made count at their full cost, so a burst
// of opens cannot pass the check before the earlier ones took their share.
void check_room_for_stream(const std::string& shown_url);

// Counts its stream as starting from construction until release() or its end. A stream has made
// its sockets and its threads once its first packet came through: released then, it stops counting
// at full cost on top of what it already holds, which at a thousand streams opened in a burst
// refused streams that had room.
class StartingStream {
public:
    StartingStream() noexcept;
    ~StartingStream() { release(); }
    StartingStream(const StartingStream&) = delete;
    StartingStream& operator=(const StartingStream&) = delete;
    void release() const noexcept;

private:
    mutable std::atomic<bool> counted_{true};
};

}  // namespace vantle
