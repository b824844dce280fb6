#include "platform/shell/link_file.h"

#include "platform/shell/shlobj.h"

namespace platform::shell {
namespace {

// Appends little-endian values to a byte vector.
class Writer {
 public:
  explicit Writer(std::vector<BYTE>& out) : out_(out) {}
  void U16(WORD value) {
    for (int i = 0; i < 2; ++i) out_.push_back(static_cast<BYTE>(value >> (8 * i)));
  }
  void U32(DWORD value) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<BYTE>(value >> (8 * i)));
  }
  void Time(const FILETIME& time) {
    U32(time.dwLowDateTime);
    U32(time.dwHighDateTime);
  }
  void Guid(const GUID& guid) {
    U32(guid.Data1);
    U16(guid.Data2);
    U16(guid.Data3);
    out_.insert(out_.end(), guid.Data4, guid.Data4 + 8);
  }
  // The text and its terminator.
  void Text(const std::string& text) {
    out_.insert(out_.end(), text.begin(), text.end());
    out_.push_back(0);
  }

 private:
  std::vector<BYTE>& out_;
};

DWORD FlagsOf(const LinkContents& contents) {
  DWORD flags = kIsUnicode;
  if (!contents.targetPath.empty()) flags |= kHasLinkInfo;
  if (!contents.description.empty()) flags |= kHasName;
  return flags;
}

void PutHeader(const LinkContents& contents, Writer& out) {
  out.U32(kLinkHeaderSize);
  out.Guid(CLSID_ShellLink);
  out.U32(FlagsOf(contents));
  out.U32(contents.target.attributes);
  out.Time(contents.target.creation);
  out.Time(contents.target.access);
  out.Time(contents.target.write);
  out.U32(contents.target.size);
  out.U32(0);  // icon index
  out.U32(kShowNormal);
  out.U16(0);  // no hot key
  out.U16(0);  // reserved
  out.U32(0);
  out.U32(0);
}

// Link information with a volume and a local base path: the target path resolves as the base
// path followed by an empty common suffix. The stand-in's volumes are fixed drives without a
// label or serial number.
void PutLinkInfo(const std::string& path, Writer& out) {
  constexpr DWORD kInfoHeaderSize = 0x1C;
  constexpr DWORD kVolumeIdSize = 0x10 + 1;  // the fields and an empty label
  constexpr DWORD kVolumeIdAndLocalBasePath = 0x1;
  const DWORD basePathOffset = kInfoHeaderSize + kVolumeIdSize;
  const auto suffixOffset = static_cast<DWORD>(basePathOffset + path.size() + 1);
  out.U32(suffixOffset + 1);  // the whole structure ends after the empty suffix
  out.U32(kInfoHeaderSize);
  out.U32(kVolumeIdAndLocalBasePath);
  out.U32(kInfoHeaderSize);  // the volume follows the header
  out.U32(basePathOffset);
  out.U32(0);  // no network location
  out.U32(suffixOffset);
  out.U32(kVolumeIdSize);
  out.U32(kDriveFixed);
  out.U32(0);     // serial number
  out.U32(0x10);  // the label follows the volume's fields
  out.Text("");
  out.Text(path);
  out.Text("");
}

// A counted UTF-16 string without terminator.
void PutString(const std::u16string& text, Writer& out) {
  out.U16(static_cast<WORD>(text.size()));
  for (char16_t unit : text) out.U16(unit);
}

}  // namespace

std::vector<BYTE> EncodeShellLink(const LinkContents& contents) {
  std::vector<BYTE> bytes;
  Writer out(bytes);
  PutHeader(contents, out);
  if (!contents.targetPath.empty()) PutLinkInfo(contents.targetPath, out);
  if (!contents.description.empty()) PutString(contents.description, out);
  out.U32(0);  // the terminal block ends the extra data
  return bytes;
}

}  // namespace platform::shell
