#include "vorpane/util/dynlib.hpp"

#include <dlfcn.h>

#include <stdexcept>

namespace vorpane::util {

DynLib::DynLib(const std::vector<std::string>& names) {
    std::string tried;
    for (const auto& name : names) {
        m_handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_handle != nullptr) {
            m_name = name;
            return;
        }
        const char* why = ::dlerror();
        tried += (tried.empty() ? "" : "; ") + std::string(why != nullptr ? why : name);
    }
    throw std::runtime_error("cannot load shared library: " + tried);
}

DynLib::~DynLib() {
    // Libraries such as libcurl and OpenSSL register exit handlers; unloading them before
    // exit is a known source of crashes, so the mapping stays until the process ends.
    (void)m_handle;
}

void* DynLib::symbol(const char* symbol) const {
    ::dlerror();
    void* address = ::dlsym(m_handle, symbol);
    if (address == nullptr) {
        throw std::runtime_error("symbol " + std::string(symbol) + " missing from " + m_name);
    }
    return address;
}

} // namespace vorpane::util
