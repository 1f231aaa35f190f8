#include "checks/program_version_resource.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

#include "checks/blocked_program_table.h"
#include "checks/wow64_image_path.h"
#include "platform/wide_buffer.h"
#include "platform/handle_owner.h"
#include "platform/win32_calls.h"

namespace {
// Real version resources are a few kilobytes.
constexpr DWORD kMaximumResourceBytes = 256u * 1024u;
constexpr size_t kBlockHeaderBytes = 6;  // wLength, wValueLength, wType
constexpr uint16_t kTextValue = 1;

// One block of the resource tree: a header, a key text, a value, children.
struct VersionBlock {
  size_t end;  // one past the block
  const uint8_t* key;
  size_t keyLength;  // code units
  size_t valueStart;
  size_t valueBytes;
  size_t childrenStart;
  size_t textStart;  // where a string value begins, whatever the header says
};

size_t AlignFour(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

uint16_t ReadWord(const uint8_t* data, size_t offset) {
  uint16_t value;
  std::memcpy(&value, data + offset, sizeof(value));
  return value;
}

bool ReadBlock(const uint8_t* data, size_t limit, size_t offset, VersionBlock& block) {
  if (offset > limit || limit - offset < kBlockHeaderBytes) return false;
  size_t length = ReadWord(data, offset);
  uint16_t valueLength = ReadWord(data, offset + 2);
  uint16_t type = ReadWord(data, offset + 4);
  if (length < kBlockHeaderBytes || length > limit - offset) return false;
  block.end = offset + length;
  size_t keyStart = offset + kBlockHeaderBytes;
  size_t cursor = keyStart;
  while (cursor + 2 <= block.end && ReadWord(data, cursor) != 0) cursor += 2;
  if (cursor + 2 > block.end) return false;  // key without its terminator
  block.key = data + keyStart;
  block.keyLength = (cursor - keyStart) / 2;
  block.valueStart = AlignFour(cursor + 2);
  block.textStart = block.valueStart < block.end ? block.valueStart : block.end;
  block.valueBytes = type == kTextValue ? static_cast<size_t>(valueLength) * 2 : valueLength;
  if (block.valueStart > block.end || block.valueBytes > block.end - block.valueStart) {
    block.valueStart = block.end;
    block.valueBytes = 0;
  }
  block.childrenStart = AlignFour(block.valueStart + block.valueBytes);
  return true;
}

uint16_t AsciiLower(uint16_t unit) {
  return unit >= u'A' && unit <= u'Z' ? static_cast<uint16_t>(unit + (u'a' - u'A')) : unit;
}

// Keys compare as VerQueryValue compares them, ASCII letters in either case:
// "productname" names the product for every program that shows it.
bool KeyIs(const VersionBlock& block, const wchar_t* name) {
  size_t length = std::wcslen(name);
  if (block.keyLength != length) return false;
  for (size_t i = 0; i < length; ++i)
    if (AsciiLower(ReadWord(block.key, 2 * i)) != AsciiLower(static_cast<uint16_t>(name[i]))) return false;
  return true;
}

// The value text of a string block as Windows' VerQueryValue hands it to
// every program that shows it: from the value's start to the block's end,
// cut at the first zero. The value length and the type are not consulted;
// resource tools write them wrongly often enough (a zero length, a length
// in bytes, type 0 for a text), and a tool must not hide behind that.
bool CopyValue(const uint8_t* data, const VersionBlock& block, WideBuffer& text) {
  size_t units = (block.end - block.textStart) / 2;
  text.Clear();
  if (!text.Allocate(units + 1)) return false;
  size_t copied = 0;
  for (; copied < units; ++copied) {
    uint16_t unit = ReadWord(data, block.textStart + 2 * copied);
    if (unit == 0) break;
    text.Data()[copied] = static_cast<wchar_t>(unit);
  }
  text.SetLength(copied);
  return true;
}

// Children of a block, in order; stops at the first malformed child.
class ChildWalker {
 public:
  ChildWalker(const uint8_t* data, const VersionBlock& parent)
      : data_(data), end_(parent.end), next_(parent.childrenStart) {}
  bool Next(VersionBlock& child) {
    if (next_ >= end_ || !ReadBlock(data_, end_, next_, child)) return false;
    next_ = AlignFour(child.end);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t end_;
  size_t next_;
};

// VerQueryValue hands out the first string of a name and never a later one
// of the same name: a tool that adds a harmless second ProductName is still
// named by its first, as Explorer and every other program show it.
const BlockRule* MatchStringTable(const uint8_t* data, const VersionBlock& table) {
  WideBuffer product;
  WideBuffer original;
  bool haveProduct = false;
  bool haveOriginal = false;
  ChildWalker strings(data, table);
  VersionBlock entry = {};
  while (strings.Next(entry)) {
    if (!haveProduct && KeyIs(entry, L"ProductName")) {
      haveProduct = true;
      CopyValue(data, entry, product);
    }
    if (!haveOriginal && KeyIs(entry, L"OriginalFilename")) {
      haveOriginal = true;
      CopyValue(data, entry, original);
    }
  }
  return MatchBlockedProgramVersion(product.CStr(), original.CStr());
}

}  // namespace

const BlockRule* MatchVersionResourceBytes(const uint8_t* data, size_t size) {
  VersionBlock root = {};
  if (!data || !ReadBlock(data, size, 0, root) || !KeyIs(root, L"VS_VERSION_INFO")) return nullptr;
  ChildWalker sections(data, root);
  VersionBlock section = {};
  while (sections.Next(section)) {
    if (!KeyIs(section, L"StringFileInfo")) continue;
    ChildWalker tables(data, section);
    VersionBlock table = {};
    while (tables.Next(table)) {
      if (const BlockRule* rule = MatchStringTable(data, table)) return rule;
    }
  }
  return nullptr;
}

const BlockRule* MatchProgramVersionResource(const wchar_t* imagePath) {
  WideBuffer readPath;
  if (!ImagePathForReading(imagePath, readPath)) return nullptr;
  // As a data file: nothing of the program runs, and its imports are not
  // resolved. Not as an image resource: that maps the file as an image,
  // which the guard's own image-load policy (no remote images) refuses for
  // a tool run from a network share; a data file is no image to it.
  ModuleOwner image(win32Calls.LoadLibraryExW(readPath.CStr(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!image.Get()) return nullptr;
  HRSRC resource = win32Calls.FindResourceW(image.Get(), MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
  if (!resource) return nullptr;
  DWORD size = win32Calls.SizeofResource(image.Get(), resource);
  HGLOBAL loaded = win32Calls.LoadResource(image.Get(), resource);
  if (!loaded || size == 0 || size > kMaximumResourceBytes) return nullptr;
  return MatchVersionResourceBytes(static_cast<const uint8_t*>(LockResource(loaded)), size);
}
