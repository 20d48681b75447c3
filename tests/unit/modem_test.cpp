// The product string conversion into usb_version: bounded, terminated, and
// never a partial or unconvertible character.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "radio/modem.h"

namespace {

TEST(UsbVersion, ConvertedBoundedAndTerminated) {
  std::wstring surrogate = L"Modem ";
  surrogate += (wchar_t)0xD800;  // no character set can write it
  struct Row { const char *name; std::wstring product; std::string want; } rows[] = {
      {"plain", L"Radio Modem v2", "Radio Modem v2"},
      {"exactly 255 characters", std::wstring(255, L'b'), std::string(255, 'b')},
      {"unconvertible gives empty text", surrogate, ""},
      // 'é' takes 2 bytes in UTF-8 and would not fit whole into 255: left out
      {"no half character", std::wstring(254, L'A') + L"\u00e9", std::string(254, 'A')},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    memset(usb_version, 'x', sizeof usb_version);
    usb_version_set(row.product.c_str());
    // The conversion has chosen the environment's character set by now.
    bool ascii_only = MB_CUR_MAX == 1 && row.product.back() > 0x7f;
    EXPECT_EQ(std::string(usb_version), ascii_only ? "" : row.want);
  }
  usb_version[0] = '\0';  // shared with the other tests: empty, as at start
}

}  // namespace
