#pragma once

#include <gst/gst.h>


namespace vantle::builders {

// How many threads each software decoder gets. Frame threading buys one stream speed on idle
// cores and costs CPU (about 30 % more on light streams) and one OS thread per core for every
// stream: once a process reads as many streams as it has cores, the streams themselves keep
// the cores busy, so each decoder gets one thread (none of its own); with fewer, the cores are
// shared out. VANTLE_DECODER_THREADS=<n> sets it for the whole process (0: the decoder's own
// choice, one per core).
int decoder_threads_for(int open_streams, int cores) noexcept;

// Counts the streams of the process: one per URL reader's factory, for as long as it lives.
class OpenStreamCount {
public:
    OpenStreamCount() noexcept;
    ~OpenStreamCount();
    OpenStreamCount(const OpenStreamCount&) = delete;
    OpenStreamCount& operator=(const OpenStreamCount&) = delete;
    static int now() noexcept;
};

// Sets the thread count of decoders that `decodebin` adds (libav ones have max-threads).
void apply_decoder_threads(GstElement* decodebin);

}  // namespace vantle::builders
