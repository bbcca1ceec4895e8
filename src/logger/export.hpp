#pragma once

// Modules are built with hidden visibility; what other modules link against is marked here.
#define VANTLE_EXPORT __attribute__((visibility("default")))
