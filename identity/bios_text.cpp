// The BIOS text source: an image of the 64 KiB at physical address 0xF0000,
// probed for the vendor's identification text.
#include <algorithm>
#include <cstring>
#include <vector>

#include "identity/bios_probe.h"
#include "identity/machine_fingerprint.h"
#include "common/unique_any.h"

namespace {

constexpr size_t kBiosAreaSize = 65535;
constexpr ULONG kBiosAreaAddress = 0xF0000;
// A view is rounded up to whole pages; the probes never look past 64 KiB.
constexpr size_t kMaxViewCopy = 0x10000;

constexpr DWORD kFirmProvider = 0x4649524D;  // 'FIRM'
constexpr DWORD kFirmTableId = 0xE0000;
constexpr UINT kMinFirmTableSize = 0x1FFFF;  // must reach the end of 0xF0000's 64 KiB
constexpr size_t kFirmBiosAreaOffset = 0x10000;
// The table holds 128 KiB; a larger size is not one we understand.
constexpr UINT kMaxFirmTableSize = 1 << 20;

constexpr DWORD kViewShare = 1;
constexpr ACCESS_MASK kSectionMapRead = 0x0004;

std::vector<uint8_t> MapPhysicalMemory(const MachinePlatform& platform) {
  std::vector<uint8_t> image;
  if (!platform.open_section || !platform.map_view_of_section ||
      !platform.unmap_view_of_section) {
    return image;
  }

  wchar_t name_text[23] = L"\\device\\physicalmemory";
  UNICODE_STRING name;
  name.Length = 44;
  name.MaximumLength = 46;
  name.Buffer = name_text;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);

  HANDLE section_handle = nullptr;
  if (!NT_SUCCESS(platform.open_section(&section_handle, kSectionMapRead, &attributes))) {
    return image;
  }
  zrvd::unique_handle section(section_handle);

  PVOID base = nullptr;
  LARGE_INTEGER offset;
  offset.QuadPart = kBiosAreaAddress;
  SIZE_T view_size = kBiosAreaSize;
  if (!NT_SUCCESS(platform.map_view_of_section(section.get(), GetCurrentProcess(), &base, 0,
                                               kBiosAreaSize, &offset, &view_size, kViewShare,
                                               0, PAGE_READONLY))) {
    return image;
  }
  const uint8_t* view = static_cast<const uint8_t*>(base);
  image.assign(view, view + std::min<size_t>(view_size, kMaxViewCopy));
  platform.unmap_view_of_section(GetCurrentProcess(), base);
  return image;
}

std::vector<uint8_t> ReadFirmwareTable(const MachinePlatform& platform) {
  std::vector<uint8_t> image;
  if (!platform.get_system_firmware_table) return image;

  // A stale error from before must not pass for the size query's answer.
  SetLastError(ERROR_SUCCESS);
  const UINT size = platform.get_system_firmware_table(kFirmProvider, kFirmTableId, nullptr, 0);
  if (size == 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER || size > kMaxFirmTableSize) {
    return image;
  }
  std::vector<uint8_t> table(size);
  const UINT got = platform.get_system_firmware_table(kFirmProvider, kFirmTableId,
                                                      table.data(), size);
  if (got == 0 || got > size || got < kMinFirmTableSize) return image;
  image.assign(table.begin() + kFirmBiosAreaOffset,
               table.begin() + kFirmBiosAreaOffset + kBiosAreaSize);
  return image;
}

}  // namespace

bool GetBiosText(const MachinePlatform& platform, uint8_t buffer[49], size_t* length) {
  std::vector<uint8_t> image;
  if (platform.platform_id == VER_PLATFORM_WIN32_WINDOWS) {
    // 9x maps the first megabyte into every process. Elsewhere this faults,
    // and the fingerprint's guard takes it.
    if (platform.bios_area_9x) {
      image.assign(platform.bios_area_9x, platform.bios_area_9x + kBiosAreaSize);
    }
  } else {
    image = MapPhysicalMemory(platform);
    if (image.empty()) image = ReadFirmwareTable(platform);
  }
  if (image.empty()) return false;
  return ProbeBiosImage(image.data(), image.size(), buffer, length);
}
