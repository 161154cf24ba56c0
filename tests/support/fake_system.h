#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace lumaflash::testing {

// A tree of sys/ and dev/ laid out as Linux lays them out, for the port walk to read instead of
// the machine's own (through LUMAFLASH_DEVICE_ROOT, set while this object lives).
class FakeSystem {
 public:
  explicit FakeSystem(const std::filesystem::path& root)
      : m_root(std::filesystem::weakly_canonical(root)) {
    std::filesystem::create_directories(m_root / "dev/serial/by-id");
    std::filesystem::create_directories(m_root / "sys/class/tty");
    ::setenv("LUMAFLASH_DEVICE_ROOT", m_root.c_str(), 1);
  }
  ~FakeSystem() { ::unsetenv("LUMAFLASH_DEVICE_ROOT"); }
  FakeSystem(const FakeSystem&) = delete;
  FakeSystem& operator=(const FakeSystem&) = delete;

  const std::filesystem::path& Root() const { return m_root; }

  // Writes an attribute file, `path` relative to sys/.
  void Attribute(const std::string& path, const std::string& value) const {
    const auto file = m_root / "sys" / path;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << value << "\n";
  }

  // A tty whose device is `device` (relative to sys/devices), as the kernel makes it.
  void Tty(const std::string& name, const std::string& device) const {
    const auto devices = m_root / "sys/devices" / device;
    std::filesystem::create_directories(devices / "tty" / name);
    std::filesystem::create_directory_symlink(devices / "tty" / name,
                                              m_root / "sys/class/tty" / name);
    std::filesystem::create_directory_symlink(devices, devices / "tty" / name / "device");
  }

  // The device node: here a link to the pseudo-terminal that plays the device.
  void Node(const std::string& name, const std::string& target) const {
    std::filesystem::create_symlink(target, m_root / "dev" / name);
  }

 private:
  std::filesystem::path m_root;
};

}  // namespace lumaflash::testing
