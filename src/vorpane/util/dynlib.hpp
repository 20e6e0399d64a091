#pragma once

#include <string>
#include <vector>

namespace vorpane::util {

// A shared library opened with dlopen and closed on destruction. Heavy libraries (libcurl,
// libarchive, libcrypto) are opened this way on first use so that commands which never touch
// the network or an archive start without loading them.
class DynLib {
  public:
    // Opens the first of `names` that loads; throws std::runtime_error naming them all if none
    // does.
    explicit DynLib(const std::vector<std::string>& names);
    ~DynLib();
    DynLib(const DynLib&) = delete;
    DynLib& operator=(const DynLib&) = delete;

    // The address of `symbol`; throws std::runtime_error when the library lacks it.
    [[nodiscard]] void* symbol(const char* symbol) const;

    // `symbol` cast to the function-pointer type F.
    template <class F> [[nodiscard]] F get(const char* name) const {
        return reinterpret_cast<F>(symbol(name));
    }

    [[nodiscard]] const std::string& name() const noexcept { return m_name; }

  private:
    void* m_handle = nullptr;
    std::string m_name;
};

} // namespace vorpane::util

// Loads `fn` from `lib` into a member of the same name, typed after the C declaration.
#define VORPANE_DYN_FN(lib, fn) fn = (lib).get<decltype(&::fn)>(#fn)
