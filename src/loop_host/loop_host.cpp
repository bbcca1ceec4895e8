#include "loop_host/loop_host.hpp"

#include <gst/gst.h>

#include <cstring>
#include <mutex>
#include <stdexcept>

#include "runtime/background_thread.hpp"
#include "logger/logger.hpp"

namespace vantle::loop_host {
namespace {

struct HostState {
    std::recursive_mutex lock;
    bool running = false;
    bool forked_while_running = false;  // a child of a process whose host ran: see after_fork_in_child
    GMainLoop* main_loop = nullptr;  // owned; replaced by the next start that runs a loop
    BackgroundThread main_loop_thread;
};

HostState*& state_slot() {
    // Never destroyed: the loop thread may outlive static destruction at process exit.
    static HostState* instance = new HostState();
    return instance;
}

HostState& state() { return *state_slot(); }

constexpr const char* kForkedMessage =
    "GStreamer cannot run in this process: it was forked from one that had started it, and a forked child "
    "has none of its threads. Start GStreamer (loop_host.start()) only after the fork, or create the process "
    "with multiprocessing's 'spawn' or 'forkserver' start method.";

gboolean quit_loop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

}  // namespace

void start(bool start_main_loop) {
    HostState& host = state();
    std::lock_guard guard(host.lock);
    if (host.forked_while_running) throw std::runtime_error(kForkedMessage);
    if (host.running) return;

    gst_init(nullptr, nullptr);
    if (start_main_loop) {
        GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
        if (host.main_loop != nullptr) g_main_loop_unref(host.main_loop);
        host.main_loop = loop;
        g_main_loop_ref(loop);
        host.main_loop_thread = BackgroundThread::start("LoopHostThread", [loop] {
            g_main_loop_run(loop);
            g_main_loop_unref(loop);
        });
    }
    disable_troublesome_elements();
    host.running = true;
}

void assert_started() {
    HostState& host = state();
    std::lock_guard guard(host.lock);
    if (host.forked_while_running) throw std::runtime_error(kForkedMessage);
    if (!host.running) {
        throw std::runtime_error(
            "The GObject libraries have not been initialized yet. They can be initialized with loop_host.start()");
    }
}

void close() {
    HostState& host = state();
    std::lock_guard guard(host.lock);
    if (!host.running) return;
    if (host.main_loop != nullptr) {
        // A quit before the thread entered g_main_loop_run() would be forgotten by it, so the
        // quit is also queued on the loop's context, where it runs once the loop does.
        g_main_loop_quit(host.main_loop);
        g_idle_add_full(G_PRIORITY_HIGH, &quit_loop, g_main_loop_ref(host.main_loop),
                        reinterpret_cast<GDestroyNotify>(&g_main_loop_unref));
        host.main_loop_thread.join();
    }
    host.running = false;
}

void after_fork_in_child() noexcept {
    // The parent's lock may have been held by one of its threads, which the child lacks.
    const bool was_running = state().running;
    state_slot() = new HostState();
    state().forked_while_running = was_running;
}

void disable_troublesome_elements() {
    GList* factories = gst_element_factory_list_get_elements(GST_ELEMENT_FACTORY_TYPE_DECODER, GST_RANK_MARGINAL);
    for (GList* item = factories; item != nullptr; item = item->next) {
        auto* factory = GST_ELEMENT_FACTORY(item->data);
        const gchar* plugin = gst_plugin_feature_get_plugin_name(GST_PLUGIN_FEATURE(factory));
        if (plugin != nullptr && std::strcmp(plugin, "nvcodec") == 0) {
            logging::root().info(std::string("Disabling element type: ") +
                                 gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)));
            gst_plugin_feature_set_rank(GST_PLUGIN_FEATURE(factory), GST_RANK_NONE);
        }
    }
    gst_plugin_feature_list_free(factories);
}

}  // namespace vantle::loop_host
