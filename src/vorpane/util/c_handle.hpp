#pragma once

#include <memory>

namespace vorpane::util {

// Deleter that calls a C library's free function, skipping null.
template <auto Free> struct CFree {
    template <class T> void operator()(T* p) const noexcept {
        if (p != nullptr) {
            Free(p);
        }
    }
};

// A unique_ptr that frees a C handle with `Free`: using Stmt = CHandle<sqlite3_stmt,
// sqlite3_finalize>;
template <class T, auto Free> using CHandle = std::unique_ptr<T, CFree<Free>>;

} // namespace vorpane::util
