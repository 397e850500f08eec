// Ownership of an object a C library hands out and takes back through one
// function (sqlite3_finalize, PQclear, free...): a std::unique_ptr whose
// deleter calls that function.
#pragma once

#include <memory>

namespace tqcommon {

template <auto release>
struct Releaser {
    template <typename Object>
    void operator()(Object* object) const {
        (void)release(object);
    }
};

template <typename Object, auto release>
using Owned = std::unique_ptr<Object, Releaser<release>>;

}  // namespace tqcommon
