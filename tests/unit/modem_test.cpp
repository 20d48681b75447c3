// The modem link's pure parts: the product string conversion into
// usb_version and the touch/debug console display.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

#include "radio/modem.h"

namespace {

// usb_version is shared with the other tests: leave it empty, as at start.
class UsbVersion : public ::testing::Test {
 protected:
  void TearDown() override { usb_version[0] = '\0'; }
};

TEST_F(UsbVersion, ConvertedBoundedAndTerminated) {
  std::wstring long_ascii(300, L'A');
  std::wstring exact_ascii(255, L'b');
  std::wstring surrogate = L"Modem ";
  surrogate += (wchar_t)0xD800;  // no character set can write it
  struct Row {
    const char *name;
    std::wstring product;
    std::string want;
  } rows[] = {
      {"plain", L"Radio Modem v2", "Radio Modem v2"},
      {"empty", L"", ""},
      {"300 characters cut to 255 bytes", long_ascii, std::string(255, 'A')},
      {"exactly 255 characters", exact_ascii, std::string(255, 'b')},
      {"unconvertible gives empty text", surrogate, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    memset(usb_version, 'x', sizeof usb_version);
    usb_version_set(row.product.c_str());
    EXPECT_EQ(std::string(usb_version), row.want);
  }
}

TEST_F(UsbVersion, NonAsciiFollowsTheEnvironmentCharacterSet) {
  std::wstring product = std::wstring(254, L'A') + L"\u00e9";  // 'é' needs 2 bytes in UTF-8
  usb_version_set(product.c_str());
  bool utf8 = MB_CUR_MAX > 1;  // the conversion has chosen the environment's set by now
  if (utf8) {
    // the 2-byte character would not fit into 255 bytes and is left out whole
    EXPECT_EQ(std::string(usb_version), std::string(254, 'A'));
    usb_version_set(L"Mod\u00e9m");
    EXPECT_EQ(std::string(usb_version), "Mod\xc3\xa9m");
  } else {
    EXPECT_EQ(std::string(usb_version), "");
  }
}

TEST(TouchDebug, ClearsConsoleAndPrintsFourChannels) {
  uint8_t report[65] = {2, 0x01, 0x00, 0x00, 0x07, 0xff, 0xff, 0x12, 0x34};
  testing::internal::CaptureStdout();
  touch_debug(report);
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "\x1b" "cCH1: 256\r\nCH2: 7\r\nCH3: 65535\r\nCH4: 4660\r\n");
}

TEST(UsbForget, WithoutModemIsHarmless) {
  ASSERT_EQ(usb_handle, nullptr);
  usb_forget();
  EXPECT_EQ(usb_handle, nullptr);
}

}  // namespace
