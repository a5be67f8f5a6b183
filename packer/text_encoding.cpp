#include "text_encoding.h"

bool Utf8ToUtf16(const std::string& utf8, std::u16string* utf16) {
  utf16->clear();
  size_t i = 0, n = utf8.size();
  while (i < n) {
    unsigned char c = (unsigned char)utf8[i];
    uint32_t cp;
    size_t extra;
    if (c < 0x80) { cp = c; extra = 0; }
    else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; extra = 1; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; extra = 2; }
    else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; extra = 3; }
    else return false;
    if (n - i <= extra) return false;  // truncated sequence
    for (size_t k = 1; k <= extra; k++) {
      unsigned char cc = (unsigned char)utf8[i + k];
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      utf16->push_back((char16_t)(0xD800 | (cp >> 10)));
      utf16->push_back((char16_t)(0xDC00 | (cp & 0x3FF)));
    } else {
      utf16->push_back((char16_t)cp);
    }
    i += extra + 1;
  }
  return true;
}

bool Utf16ToUtf8(const std::u16string& utf16, std::string* utf8) {
  utf8->clear();
  for (size_t i = 0; i < utf16.size(); i++) {
    uint32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= utf16.size() || utf16[i + 1] < 0xDC00 || utf16[i + 1] > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[++i] - 0xDC00);
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    if (cp < 0x80) {
      utf8->push_back((char)cp);
    } else if (cp < 0x800) {
      utf8->push_back((char)(0xC0 | (cp >> 6)));
      utf8->push_back((char)(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      utf8->push_back((char)(0xE0 | (cp >> 12)));
      utf8->push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
      utf8->push_back((char)(0x80 | (cp & 0x3F)));
    } else {
      utf8->push_back((char)(0xF0 | (cp >> 18)));
      utf8->push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
      utf8->push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
      utf8->push_back((char)(0x80 | (cp & 0x3F)));
    }
  }
  return true;
}

std::u16string ReadUtf16Le(const uint8_t* bytes, size_t units) {
  std::u16string s(units, u'\0');
  for (size_t i = 0; i < units; i++) s[i] = (char16_t)(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return s;
}
