"""GStreamer toolkit and timing helpers of vantle."""
