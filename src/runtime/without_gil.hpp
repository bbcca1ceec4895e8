#pragma once


namespace vantle {

// Releases the GIL for the scope when the calling thread holds it, so that native code that
// blocks on GStreamer (state changes, joins) can be reached from anywhere, Python object
// destructors included, without stalling threads that need the GIL to finish their work.
// Taking the GIL back is guarded like every native entry into Python (python_bridge.hpp): once
// the interpreter is exiting, a thread other than the main one parks instead.
class WithoutGil {
public:
    WithoutGil() noexcept;
    ~WithoutGil();
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

private:
    void* saved_state_;
};

}  // namespace vantle
