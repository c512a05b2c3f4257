#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/registry/HiveRegistry.h"
#include "platform/registry/ScriptedRegistry.h"
#include "platform/registry/posix/FileHiveStore.h"
#include "tests/registry/RegistryTestSupport.h"

namespace lw::reg {
namespace {

// The hive lives in a folder whose name is not plain ASCII.
class tFileBackend final : public tBackend {
 public:
  tFileBackend() { Flush(); }
  ~tFileBackend() override {
    std::error_code Ignored;
    std::filesystem::remove_all(std::filesystem::path(folder_).parent_path(), Ignored);
  }
  tRegistryApi& Api() override { return registry_; }
  void AddKey(const std::string& Path) override {
    builder_.AddKey(Path);
    Flush();
  }
  void SetDword(const std::string& Path, const std::string& Name, DWORD Value) override {
    builder_.SetDword(Path, Name, Value);
    Flush();
  }

 private:
  void Flush() {
    std::ofstream Out(path_, std::ios::binary | std::ios::trunc);
    Out << builder_.HiveText();
    ASSERT_TRUE(Out.good());
  }

  static std::string MakeFolder() {
    char Template[] = "/tmp/lw-registry-XXXXXX";
    const char* Made = mkdtemp(Template);
    if (Made == nullptr) std::abort();
    std::string Folder = Made;
    Folder += "/Regístry";
    std::filesystem::create_directory(Folder);
    return Folder;
  }

  std::string folder_ = MakeFolder();
  std::string path_ = folder_ + "/HKEY_LOCAL_MACHINE.reg";
  tScriptedRegistry builder_;
  tFileHiveStore store_{path_};
  tHiveRegistry registry_{store_};
};

}  // namespace

std::unique_ptr<tBackend> MakeSystemBackend() { return std::make_unique<tFileBackend>(); }

}  // namespace lw::reg
