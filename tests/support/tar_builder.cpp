#include "support/tar_builder.hpp"

#include "vorpane/config/dirs.hpp"
#include "vorpane/util/process.hpp"

#include <nlohmann/json.hpp>

#include <stdexcept>

#include "support/temp_home.hpp"

namespace vorpane::test {

namespace {

constexpr const char* k_script = R"py(
import io, json, os, sys, tarfile
kinds = {"f": tarfile.REGTYPE, "d": tarfile.DIRTYPE, "s": tarfile.SYMTYPE, "h": tarfile.LNKTYPE,
         "c": tarfile.CHRTYPE, "b": tarfile.BLKTYPE, "p": tarfile.FIFOTYPE}
with open(sys.argv[2], encoding="utf-8") as listing, tarfile.open(sys.argv[1], "w:gz") as tar:
    for m in json.load(listing):
        info = tarfile.TarInfo(m["name"])
        info.type, info.mode = kinds[m["kind"]], m["mode"]
        data = b""
        if m["kind"] in "sh":
            info.linkname = m["content"]
        elif m["kind"] == "f":
            data = m["content"].encode() + os.urandom(m["random"])
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
)py";

} // namespace

void write_tar_gz(const std::filesystem::path& path, const std::vector<TarMember>& members) {
    nlohmann::json listing = nlohmann::json::array();
    for (const auto& m : members) {
        listing.push_back({{"name", m.name},
                           {"kind", std::string(1, m.kind)},
                           {"content", m.content},
                           {"mode", m.mode},
                           {"random", m.random_bytes}});
    }
    const std::string listing_file = path.string() + ".json";
    write_file(listing_file, listing.dump());
    const auto result =
        util::run_process({VORPANE_PY311, "-I", "-c", k_script, path.string(), listing_file},
                          config::process_environment());
    std::filesystem::remove(listing_file);
    if (result.returncode != 0) {
        throw std::runtime_error("cannot write the test archive " + path.string());
    }
}

} // namespace vorpane::test
