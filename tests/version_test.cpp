// Version records: the input firmware file's build header, the flash's
// image control block and the images' build headers, and their printout.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/status.h"
#include "image/version.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put_le32(Bytes& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4, 0);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put_text(Bytes& b, size_t at, const std::string& s) {
  if (b.size() < at + s.size()) b.resize(at + s.size(), 0);
  std::memcpy(b.data() + at, s.data(), s.size());
}

// A 36-byte build header: marker, version word, date and time fields.
Bytes build_header(uint32_t version, const std::string& date, const std::string& time,
                   uint32_t marker = 0xDADBABBA) {
  Bytes h(36, 0);
  put_le32(h, 0, marker);
  put_le32(h, 4, 0x55555555);
  put_le32(h, 8, version);
  put_text(h, 12, date.substr(0, 12));
  put_text(h, 24, time.substr(0, 9));
  h[33] = h[34] = h[35] = 0x77;
  return h;
}

// A firmware file: 12 leading bytes, then the header, then a tail.
Bytes firmware_file(const Bytes& header, size_t tail = 64) {
  Bytes f(12, 0xEE);
  f.insert(f.end(), header.begin(), header.end());
  f.insert(f.end(), tail, 0xCD);
  return f;
}

std::string record_lines(const std::string& title, const std::string& fw, const std::string& drv,
                         const std::string& date, const std::string& time) {
  return title + "\r" + "Firmware ver   : " + fw + "\n\r" + "Min driver ver : " + drv + "\n\r" +
         "Firmware Build " + date + " Time " + time + "\n\r";
}

std::string printed(const firmware_version_record& r, const char* title = "T\n") {
  testing::internal::CaptureStdout();
  print_version_record(title, &r);
  return testing::internal::GetCapturedStdout();
}

firmware_version_record poisoned() {
  firmware_version_record r;
  std::memset(&r, 0xA5, sizeof r);
  return r;
}

TEST(UnpackVersion, FieldsOfThePackedWord) {
  struct Case {
    uint32_t word;
    const char* fw;
    const char* drv;
  } cases[] = {
      {0x11201330, "19.3.0", "17.2.0"},
      {0xFFFFFFFF, "255.15.15", "255.15.15"},
      {0x00000010, "0.1.0", "0.0.0"},
      {0x0000000F, "0.0.15", "0.0.0"},
      {0xAB5C0000, "0.0.0", "171.5.12"},
  };
  for (const auto& c : cases) {
    firmware_version_record r{};
    unpack_version(c.word, &r);
    EXPECT_EQ(printed(r), record_lines("T\n", c.fw, c.drv, "", "")) << std::hex << c.word;
  }
}

TEST(PrintVersionRecord, TextsEndAtTheirFirstNulOrTheirFieldEnd) {
  firmware_version_record r{};
  unpack_version(0x11201330, &r);
  std::memcpy(r.build_date, "Dec 09 20261", 12);  // no NUL inside the field
  std::memcpy(r.build_time, "23:59:591", 9);     // no NUL either
  r.chip_id = 0x31313131;                         // would show if the time ran past its field
  EXPECT_EQ(printed(r, "----- Input Firmware File Version-----\n"),
            record_lines("----- Input Firmware File Version-----\n", "19.3.0", "17.2.0", "Dec 09 20261",
                         "23:59:591"));

  std::memcpy(r.build_date, "Dec\0 09 2026", 12);
  std::memcpy(r.build_time, "\0" "3:59:591", 9);
  EXPECT_EQ(printed(r), record_lines("T\n", "19.3.0", "17.2.0", "Dec", ""));
}

// The input file: its size, its marker and the header at offset 12.
TEST(InputFirmwareVersion, FilesRefusedOrRead) {
  const Bytes good = build_header(0x11201330, std::string("Dec  9 2026\0", 12), std::string("10:20:30\0", 9));
  Bytes short37 = firmware_file(good, 0);
  short37.resize(37);  // header cut after the first byte of the time
  Bytes exact36 = firmware_file(good, 0);
  exact36.resize(36);
  Bytes short37_nomarker = short37;
  short37_nomarker[12] = 0;
  Bytes swapped = firmware_file(build_header(0x11201330, "d", "t", 0xBAABDBDA));
  Bytes full_fields =
      firmware_file(build_header(0x00000010, "Jan 31 20261", "01:02:031"));

  struct Case {
    const char* name;
    const Bytes* content;  // null: no file
    int8_t status;
    const char* message;   // printed with the path appended and "\n"
    std::string record;    // printed record on success
  } cases[] = {
      {"missing", nullptr, -12, "failed to open firmware file \n", ""},
      {"36 bytes", &exact36, -12, "Incorrect file size \n", ""},
      {"37 bytes without marker", &short37_nomarker, -12,
       "File is not eligable for firmware version number <17.2 \n", ""},
      {"marker bytes reversed", &swapped, -12, "File is not eligable for firmware version number <17.2 \n", ""},
      {"37 bytes with marker", &short37, 0, nullptr, record_lines("T\n", "19.3.0", "17.2.0", "Dec  9 2026", "1")},
      {"whole header", &full_fields, 0, nullptr,
       record_lines("T\n", "0.1.0", "0.0.0", "Jan 31 20261", "01:02:031")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tsup::TempDir dir;
    std::string path = dir.file("wifi_firmware.bin");
    if (c.content) tsup::write_file(path, *c.content);

    firmware_version_record r = poisoned();
    testing::internal::CaptureStdout();
    int8_t status = read_input_firmware_version(path.c_str(), &r);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, c.status);
    if (c.message) {
      EXPECT_EQ(out, std::string(c.message) + path + "\n");  // plain: no "\r"
      firmware_version_record untouched = poisoned();
      EXPECT_EQ(std::memcmp(&r, &untouched, sizeof r), 0) << "record changed on failure";
    } else {
      EXPECT_EQ(out, "");
      EXPECT_EQ(printed(r), c.record);
      EXPECT_EQ(r.chip_id, 0u);
      EXPECT_EQ(read_input_firmware_version(path.c_str(), nullptr), 0);
    }
    if (c.content) {
      EXPECT_EQ(tsup::read_file(path), *c.content) << "file changed";
    }
  }
}

}  // namespace
