/* A side library of the right name that lacks the write function. */
__attribute__((visibility("default"))) int override_plugin_unrelated = 1;
