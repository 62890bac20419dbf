#pragma once
// What every reader of mail over GMime shares: the one set-up of the library for
// the process, and the holder that releases a GMime object when it goes out of
// scope.
#include <gmime/gmime.h>

#include <memory>

namespace tp::convert {

// Sets GMime up, once for the process; every call after the first returns at once.
// Call it before any other GMime call.
void initGMime();

struct GObjectUnref {
    void operator()(void* p) const {
        if (p) g_object_unref(p);
    }
};
// A GMime (GObject) object, released with g_object_unref.
template <class T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

}  // namespace tp::convert
