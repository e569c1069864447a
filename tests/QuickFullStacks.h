#pragma once

// For test programs that run Qt Quick. Qt is built without frame pointers:
// only full stacks let tests/lsan.supp name the Qt Quick functions whose leaks
// it suppresses. ASAN_OPTIONS still win. Included by one file per program.
#ifdef __SANITIZE_ADDRESS__
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options() {
    return "fast_unwind_on_malloc=0";
}
#endif
