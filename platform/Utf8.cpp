#include "platform/Utf8.h"

namespace Utf8 {

std::size_t Decode(const std::string& text, std::size_t at, char32_t& point) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead < 0x80             ? 1
                             : (lead & 0xE0) == 0xC0 ? 2
                             : (lead & 0xF0) == 0xE0 ? 3
                             : (lead & 0xF8) == 0xF0 ? 4
                                                     : 0;
  if (length == 0 || at + length > text.size()) {
    return 0;
  }
  point = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) {
      return 0;
    }
    point = (point << 6) | (next & 0x3F);
  }
  static const char32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < Smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    return 0;
  }
  return length;
}

}  // namespace Utf8
