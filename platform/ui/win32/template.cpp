#include "platform/ui/win32/template.h"

#include <cstring>
#include <string_view>

namespace ui::win32 {
namespace {

// The template as a stream of WORDs; items start on DWORD boundaries.
class TemplateWriter {
 public:
  void Word(WORD value) { words_.push_back(value); }
  void Dword(DWORD value) {
    Word(LOWORD(value));
    Word(HIWORD(value));
  }
  void Short(short value) { Word(static_cast<WORD>(value)); }
  // A text in the template's UTF-16, terminated.
  void Text(std::string_view text) {
    int count =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::vector<wchar_t> wide(static_cast<std::size_t>(count));
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), count);
    for (wchar_t c : wide) Word(static_cast<WORD>(c));
    Word(0);
  }
  // A predefined class or resource named by its number.
  void Ordinal(WORD value) {
    Word(0xFFFF);
    Word(value);
  }
  void AlignToDword() {
    if (words_.size() % 2 != 0) Word(0);
  }
  std::vector<DWORD> Dwords() {
    AlignToDword();
    std::vector<DWORD> out(words_.size() / 2);
    std::memcpy(out.data(), words_.data(), words_.size() * sizeof(WORD));
    return out;
  }

 private:
  std::vector<WORD> words_;
};

constexpr WORD kButtonClass = 0x0080;
constexpr WORD kEditClass = 0x0081;

void WriteItem(TemplateWriter& out, const DialogItem& item) {
  out.AlignToDword();
  out.Dword(0);  // help id
  out.Dword(0);  // extended style
  out.Dword(WS_CHILD | WS_VISIBLE | item.style);
  out.Short(item.x);
  out.Short(item.y);
  out.Short(item.cx);
  out.Short(item.cy);
  out.Dword(static_cast<DWORD>(item.id));
  switch (item.kind) {
    case ControlKind::kEdit:
      out.Ordinal(kEditClass);
      break;
    case ControlKind::kProgressBar:
      out.Text(PROGRESS_CLASSA);
      break;
    default:
      out.Ordinal(kButtonClass);
  }
  out.Text(item.text != nullptr ? item.text : "");
  out.Word(0);  // no creation data
}

}  // namespace

std::vector<DWORD> BuildDialogTemplate(const DialogTemplate& dialog, bool visible) {
  TemplateWriter out;
  out.Word(1);       // version
  out.Word(0xFFFF);  // the extended template's signature
  out.Dword(0);      // help id
  out.Dword(dialog.exStyle);
  out.Dword(visible ? dialog.style : dialog.style & ~static_cast<DWORD>(WS_VISIBLE));
  out.Word(static_cast<WORD>(dialog.items.size()));
  out.Short(dialog.x);
  out.Short(dialog.y);
  out.Short(dialog.cx);
  out.Short(dialog.cy);
  out.Word(0);  // no menu
  out.Word(0);  // the dialog class
  out.Text(dialog.title != nullptr ? dialog.title : "");
  if (dialog.style & DS_SETFONT) {
    out.Word(dialog.pointSize);
    out.Word(FW_NORMAL);
    out.Word(MAKEWORD(FALSE, DEFAULT_CHARSET));  // not italic
    out.Text(dialog.font != nullptr ? dialog.font : "");
  }
  for (const DialogItem& item : dialog.items) WriteItem(out, item);
  return out.Dwords();
}

}  // namespace ui::win32
