// Reads arbitrary bytes as a .gltf or .glb in memory, welds and writes it, as weldmesh does a
// file: every input is either refused with an error or welded into an output that reads and
// validates again and welds to the same vertex counts.
#include "backend.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {

// The weld's memory grows with the vertices an input declares, which a few bytes can make huge.
const size_t kMaxWeldSize = size_t(1) << 20;

class MemoryFile : public gltf::OutputFile {
  public:
    explicit MemoryFile(std::string& bytes) : bytes_(bytes) {}
    bool write(const void* data, size_t size) override {
        bytes_.append(static_cast<const char*>(data), size);
        return true;
    }

  private:
    std::string& bytes_;
};

// Welds `data` into a glb in memory; false when the input is refused.
bool weld(const uint8_t* data, size_t size, const AttributeSelection& selection, std::string& glb,
          WeldReport& report) {
    gltf::AssetWeld asset;
    try {
        asset.read(data, size, "input");
        if (asset.weld_size() > kMaxWeldSize)
            return false;
        report = asset.weld(selection, MergeLimits{});
        asset.write("output.glb", [&](const std::string& path) {
            if (path != "output.glb")
                throw ToolError(ErrorKind::unwritable, path, "only the glb is kept");
            return std::make_unique<MemoryFile>(glb);
        });
        return true;
    } catch (const ToolError&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The last byte picks the attributes: all of them, or positions alone.
    AttributeSelection selection;
    if (size > 0 && data[size - 1] % 2 == 1)
        selection = AttributeSelection{false, 0, 0};
    std::string once, twice;
    WeldReport first, second;
    if (!weld(data, size, selection, once, first))
        return 0;
    if (!weld(reinterpret_cast<const uint8_t*>(once.data()), once.size(), AttributeSelection{},
              twice, second))
        fail("the output does not read back");
    if (first.total.verticesAfter != second.total.verticesAfter)
        fail("welding the output again changes its vertex count");
    return 0;
}
