/* Shows that GStreamer's launch-string parser, not vantle, leaks the half-parsed list of caps it
 * cannot parse (208 bytes a parse on GStreamer 1.22), which summarize_reports.py leaves to
 * GStreamer:
 *
 *   gcc -g -fsanitize=address failed_caps_parse_leak.c -o /tmp/caps_leak \
 *       $(pkg-config --cflags --libs gstreamer-1.0)
 *   ASAN_OPTIONS=detect_leaks=1 /tmp/caps_leak 'videotestsrc ! video/x-raw,format={ BGR, ! fakesink'
 */
#include <gst/gst.h>

int main(int argc, char** argv) {
    gst_init(NULL, NULL);
    for (int i = 0; i < 3 && argc > 1; i++) {
        GError* error = NULL;
        GstElement* pipeline = gst_parse_launch(argv[1], &error);
        if (error) {
            g_printerr("%s\n", error->message);
            g_error_free(error);
        }
        if (pipeline) gst_object_unref(pipeline);
    }
    return 0;
}
