// The box emulator's serial side, driven with raw bytes over its pty.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "box_fixture.h"
#include "raw_host.h"

namespace {

using namespace std::chrono_literals;

constexpr std::size_t long_size = 380;
constexpr std::size_t short_size = 344;

std::uint32_t le32(const std::vector<unsigned char>& bytes, std::size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

void put_le32(std::vector<unsigned char>& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

std::string field(const std::vector<unsigned char>& bytes, std::size_t offset, std::size_t width) {
    std::string text(bytes.begin() + offset, bytes.begin() + offset + width);
    return text.substr(0, text.find('\0'));
}

// Bit by bit, unlike the emulator's table: the two must agree.
std::uint32_t reference_crc32(const std::vector<unsigned char>& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

class SerialBox : public BoxTest {
protected:
    raw_host host() { return raw_host::open_tty(path("COM1")); }

    // Sends a request and takes exactly `count` bytes of answer.
    std::vector<unsigned char> exchange(raw_host& line, const std::vector<unsigned char>& request,
                                        std::size_t count) {
        line.send(request);
        return line.receive(count, 2s);
    }
};

TEST_F(SerialBox, ProbeIsAnsweredWithEchoRevisionAndIdentification) {
    wqbox::config cfg;
    cfg.identification = "BOX UNDER TEST";
    start_box(cfg);
    auto line = host();
    const auto answer = exchange(line, command_block(0x7D), 32 + 1 + 15);
    ASSERT_EQ(answer.size(), 48u);
    EXPECT_EQ(std::vector<unsigned char>(answer.begin(), answer.begin() + 32),
              std::vector<unsigned char>(32, 0x2B));
    EXPECT_EQ(text_of(std::vector<unsigned char>(answer.begin() + 33, answer.end())),
              std::string("BOX UNDER TEST\0", 15));
    EXPECT_TRUE(line.receive(1, 200ms).empty()) << "nothing after the zero byte";
    EXPECT_EQ(box->state().count.probes, 1u);
}

TEST_F(SerialBox, SettingsReadIsServedInTheConfiguredFormat) {
    struct row {
        wqbox::serial_format format;
        std::size_t size;
        std::size_t mask_offset;
        std::uint32_t mask;
        std::size_t number_offset;
    };
    for (const row& r : {row{wqbox::serial_format::long_record, long_size, 372, 0x3FFF, 364},
                         row{wqbox::serial_format::short_record, short_size, 336, 0x0FFF, 332}}) {
        SCOPED_TRACE(r.size);
        wqbox::config cfg;
        cfg.serial_read_format = r.format;
        start_box(cfg);
        auto line = host();
        const auto record = exchange(line, command_block(0x2B), r.size + 1);
        ASSERT_EQ(record.size(), r.size);
        EXPECT_EQ(field(record, 0, 32), "Kitchen tap");
        EXPECT_EQ(field(record, 280, 48), "192.168.10.20");
        EXPECT_EQ(field(record, 160, 6), "192.16") << "text_7_head copies the start of text_7";
        EXPECT_EQ(le32(record, r.mask_offset), r.mask);
        EXPECT_EQ(le32(record, r.number_offset), 300u);
        EXPECT_EQ(le32(record, r.number_offset - 4), 1u) << "one";
        box.reset();
    }
}

TEST_F(SerialBox, WrittenFieldsAreStoredByTheirMaskAndReadBack) {
    start_box();
    auto line = host();
    EXPECT_EQ(text_of(exchange(line, command_block(0x3F), 11)), std::string("DOWNLOAD_S\0", 11));
    std::vector<unsigned char> record(long_size, 0);
    std::memcpy(record.data(), "Lobby", 5);           // text_1
    std::memcpy(record.data() + 32, "ignored", 7);    // text_2, its bit not set
    std::memcpy(record.data() + 328, "Annex", 5);     // text_8
    put_le32(record, 360, 1);
    put_le32(record, 364, 4464);
    put_le32(record, 368, static_cast<std::uint32_t>(-7));
    put_le32(record, 372, 0x0001 | 0x0200 | 0x0400 | 0x1000 | 0x2000);
    EXPECT_EQ(text_of(exchange(line, record, 11)), std::string("DOWNLOAD_E\0", 11));

    const wqbox::box_state state = box->state();
    EXPECT_EQ(wqbox::field_text(state.settings, wqbox::text_1), "Lobby");
    EXPECT_EQ(wqbox::field_text(state.settings, wqbox::text_2), "Building A");
    EXPECT_EQ(wqbox::field_text(state.settings, wqbox::text_8), "Annex");
    EXPECT_EQ(state.settings.number, 4464u);
    EXPECT_EQ(state.settings.mode, -7);

    box->update([](wqbox::box_state& s) { s.serial_read_format = wqbox::serial_format::short_record; });
    const auto short_record = exchange(line, command_block(0x2B), short_size);
    ASSERT_EQ(short_record.size(), short_size);
    EXPECT_EQ(field(short_record, 0, 32), "Lobby");
    EXPECT_EQ(le32(short_record, 332), 4464u);
}

TEST_F(SerialBox, AShortRecordIsTakenOnceTheLineGoesQuiet) {
    start_box();
    auto line = host();
    ASSERT_EQ(exchange(line, command_block(0x3F), 11).size(), 11u);
    std::vector<unsigned char> record(short_size, 0);
    std::memcpy(record.data() + 216, "Short form", 10);  // text_5
    put_le32(record, 328, 1);
    put_le32(record, 332, 65535);
    put_le32(record, 336, 0x0080 | 0x0200 | 0x0400);
    EXPECT_EQ(text_of(exchange(line, record, 11)), std::string("DOWNLOAD_E\0", 11));
    const wqbox::box_state state = box->state();
    EXPECT_EQ(wqbox::field_text(state.settings, wqbox::text_5), "Short form");
    EXPECT_EQ(state.settings.number, 65535u);
    EXPECT_EQ(state.settings.mode, 0) << "the short format carries no mode";
}

TEST_F(SerialBox, AnIncompleteRecordIsNeitherStoredNorConfirmed) {
    start_box();
    auto line = host();
    ASSERT_EQ(exchange(line, command_block(0x3F), 11).size(), 11u);
    line.send(std::vector<unsigned char>(200, 'Z'));
    EXPECT_TRUE(line.receive(11, 1500ms).empty());
    EXPECT_EQ(box->state().count.settings_writes, 0u);
    EXPECT_EQ(exchange(line, command_block(0x7D), 33).size(), 33u) << "the box listens again";
}

TEST_F(SerialBox, DefaultsAreRestored) {
    start_box();
    box->update([](wqbox::box_state& s) { wqbox::set_field_text(s.settings, wqbox::text_1, "changed"); });
    auto line = host();
    EXPECT_EQ(text_of(exchange(line, command_block(0x26), 8)), std::string("DEF_ACK\0", 8));
    EXPECT_EQ(wqbox::field_text(box->state().settings, wqbox::text_1), "Kitchen tap");
}

TEST_F(SerialBox, TheTimeBlockSetsTheClock) {
    start_box();
    auto line = host();
    line.send(command_block(0x7E));
    std::vector<unsigned char> time_block(32, 0x7E);
    put_le32(time_block, 0, 1700000000u);
    line.send(time_block);
    EXPECT_TRUE(line.receive(1, 300ms).empty()) << "the clock has no answer";
    const wqbox::box_state state = box->state();
    EXPECT_TRUE(state.clock_set);
    EXPECT_EQ(state.clock, 1700000000u);
}

struct update_case {
    const char* name;
    std::size_t image_size;
    std::size_t sent;         // how many image bytes the host sends
    std::uint32_t crc_delta;  // added to the right CRC
    bool verified;
};

void PrintTo(const update_case& c, std::ostream* os) { *os << c.name; }

class SerialFirmware : public SerialBox, public ::testing::WithParamInterface<update_case> {};

TEST_P(SerialFirmware, VerifyIsConfirmedOnlyForTheAnnouncedImage) {
    const update_case& c = GetParam();
    start_box();
    std::vector<unsigned char> image(c.sent);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7 + i / 256);
    const std::vector<unsigned char> announced(image.begin(), image.begin() + std::min(c.sent, c.image_size));
    auto line = host();
    EXPECT_EQ(text_of(exchange(line, command_block(0x2A), 13)), std::string("OTA_REQ_ACKN\0", 13));
    std::vector<unsigned char> control(16, 0);
    put_le32(control, 0, static_cast<std::uint32_t>(c.image_size));
    put_le32(control, 8, reference_crc32(announced) + c.crc_delta);
    EXPECT_EQ(text_of(exchange(line, control, 13)), std::string("OTA_RCV_CTRL\0", 13));
    EXPECT_EQ(text_of(exchange(line, command_block(0x7C), 13)), std::string("OTA_DNL_STRT\0", 13));
    line.send(image);
    std::this_thread::sleep_for(100ms);  // the host may pause before its verify
    const auto done = exchange(line, command_block(0x2D), 13);
    EXPECT_EQ(text_of(done), c.verified ? std::string("OTA_DNL_DONE\0", 13) : std::string("OTA_DNL_FAIL\0", 13));
    const wqbox::box_state state = box->state();
    EXPECT_EQ(state.firmware.verified, c.verified ? 1u : 0u);
    EXPECT_EQ(state.firmware.rejected, c.verified ? 0u : 1u);
    EXPECT_EQ(state.firmware.announced_length, c.image_size);
    if (c.verified) {
        EXPECT_EQ(state.firmware.image, image);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Images, SerialFirmware,
    ::testing::Values(update_case{"matching", 3000, 3000, 0, true},
                      update_case{"wrong_crc", 3000, 3000, 1, false},
                      update_case{"one_byte_short", 3000, 2999, 0, false},
                      update_case{"one_byte_long", 3000, 3001, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerialBox, AnImageEndingInVerifyBytesIsNotCutShort) {
    start_box();
    std::vector<unsigned char> image(100, 0x2D);
    auto line = host();
    exchange(line, command_block(0x2A), 13);
    std::vector<unsigned char> control(16, 0);
    put_le32(control, 0, 100);
    put_le32(control, 8, reference_crc32(image));
    exchange(line, control, 13);
    exchange(line, command_block(0x7C), 13);
    line.send(image);
    EXPECT_TRUE(line.receive(13, 300ms).empty()) << "an image of the announced length is no verify";
    EXPECT_EQ(text_of(exchange(line, command_block(0x2D), 13)), std::string("OTA_DNL_DONE\0", 13));
}

TEST_F(SerialBox, StartTransferWithoutControlValuesIsIgnored) {
    start_box();
    auto line = host();
    line.send(command_block(0x7C));
    EXPECT_TRUE(line.receive(13, 300ms).empty());
    EXPECT_EQ(exchange(line, command_block(0x7D), 33).size(), 33u) << "the box still takes commands";
}

TEST_F(SerialBox, UsageLogIsServedEntryByEntry) {
    start_box();
    auto line = host();
    const auto count = exchange(line, command_block(0x60), 4);
    ASSERT_EQ(count.size(), 4u);
    EXPECT_EQ(le32(count, 0), 24u);
    const std::vector<unsigned char> start = bytes_of(std::string_view("USEDATA_START\0", 14));
    std::vector<std::vector<unsigned char>> records;
    for (int i = 0; i < 26; ++i) {
        records.push_back(exchange(line, start, 128));
        ASSERT_EQ(records.back().size(), 128u) << "entry " << i + 1;
    }
    EXPECT_EQ(field(records[0], 32, 32), "1");
    EXPECT_EQ(field(records[0], 80, 16), "0");
    EXPECT_EQ(field(records[3], 80, 16), "3") << "codes run on from 0";
    EXPECT_EQ(std::string(records[9].begin(), records[9].begin() + 32), std::string(32, '0'))
        << "every tenth slot is empty";
    EXPECT_EQ(field(records[24], 32, 32), "25") << "past the log's end come empty slots";
    EXPECT_EQ(std::string(records[24].begin(), records[24].begin() + 32), std::string(32, '0'));

    line.send(bytes_of(std::string_view("USEDATA_END__\0", 14)));
    EXPECT_TRUE(line.receive(1, 200ms).empty()) << "the end request has no answer";
    exchange(line, command_block(0x60), 4);
    EXPECT_EQ(field(exchange(line, start, 128), 32, 32), "1") << "a new download starts at the top";
}

// Faults on the settings read: what the host receives instead.
struct read_fault_case {
    const char* name;
    const char* spelling;
    std::size_t size;      // bytes that arrive
    const char* begins;    // what they begin with ("" to skip)
};

void PrintTo(const read_fault_case& c, std::ostream* os) { *os << c.name; }

class SerialReadFault : public SerialBox, public ::testing::WithParamInterface<read_fault_case> {};

TEST_P(SerialReadFault, ShapesTheAnswer) {
    const read_fault_case& c = GetParam();
    start_box_with_fault(c.spelling);
    auto line = host();
    line.send(command_block(0x2B));
    const auto got = line.receive(long_size + 10, 700ms);
    ASSERT_EQ(got.size(), c.size);
    EXPECT_EQ(text_of(got).substr(0, std::strlen(c.begins)), c.begins);
    // A refused or ignored read changes nothing; the box still answers.
    box->clear_faults();
    EXPECT_EQ(exchange(line, command_block(0x2B), long_size).size(), long_size);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SerialReadFault,
    ::testing::Values(read_fault_case{"silent", "read-settings:silent", 0, ""},
                      read_fault_case{"word", "read-settings:word:NOPE", long_size, "NOPE\0\0"},
                      read_fault_case{"busy", "read-settings:busy", long_size, "BTBUSY_XXX\0"},
                      read_fault_case{"shorten", "read-settings:shorten", long_size - 1, "Kitchen"},
                      read_fault_case{"extend", "read-settings:extend:2", long_size + 2, "Kitchen"},
                      read_fault_case{"cut", "read-settings:cut:10", 10, "Kitchen ta"},
                      read_fault_case{"any_request", "*:cut:3", 3, "Kit"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerialBox, OverLongRecordEndsInFiller) {
    start_box_with_fault("read-settings:extend:2");
    auto line = host();
    const auto got = exchange(line, command_block(0x2B), long_size + 2);
    ASSERT_EQ(got.size(), long_size + 2);
    EXPECT_EQ(got[long_size], 'X');
    EXPECT_EQ(got[long_size + 1], 'X');
}

TEST_F(SerialBox, SplitAnswerArrivesInPiecesWithPauses) {
    start_box_with_fault("read-settings:split:100/500");
    auto line = host();
    line.send(command_block(0x2B));
    EXPECT_EQ(line.receive(100, 2s).size(), 100u);
    EXPECT_TRUE(line.receive(1, 200ms).empty()) << "a pause follows each piece";
    EXPECT_EQ(line.receive(280, 3s).size(), 280u);
}

TEST_F(SerialBox, DelayedAnswerComesLate) {
    start_box_with_fault("probe:delay:500");
    auto line = host();
    line.send(command_block(0x7D));
    EXPECT_TRUE(line.receive(1, 200ms).empty());
    EXPECT_EQ(line.receive(33, 2s).size(), 33u);
}

TEST_F(SerialBox, AFaultWithACountWearsOff) {
    start_box_with_fault("probe:silent@1");
    auto line = host();
    line.send(command_block(0x7D));
    EXPECT_TRUE(line.receive(1, 300ms).empty());
    EXPECT_EQ(exchange(line, command_block(0x7D), 33).size(), 33u);
    EXPECT_EQ(box->state().count.probes, 1u) << "an ignored request has no effect";
}

TEST_F(SerialBox, DroppedLineHangsUpAndComesBack) {
    start_box_with_fault("probe:drop:5@1");
    {
        auto line = host();
        line.send(command_block(0x7D));
        EXPECT_LE(line.receive(64, 1s).size(), 5u);
        EXPECT_TRUE(line.hung_up(1s));
    }
    // The box plugs a fresh line in under the same name.
    std::vector<unsigned char> answer;
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (answer.size() < 33 && std::chrono::steady_clock::now() < deadline) {
        try {
            auto line = host();
            answer = exchange(line, command_block(0x7D), 33);
        } catch (const std::exception&) {
            std::this_thread::sleep_for(20ms);
        }
    }
    EXPECT_EQ(answer.size(), 33u);
}

TEST_F(SerialBox, PacedLineTakesTenBitTimesPerByte) {
    wqbox::config cfg;
    cfg.baud = 57600;
    start_box(cfg);
    auto line = host();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange(line, command_block(0x2B), long_size).size(), long_size);
    // 412 bytes at 5760 bytes a second: 71 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
}

TEST_F(SerialBox, TranscriptShowsDirectionHexAndMeaning) {
    std::mutex lock;
    std::vector<std::string> lines;
    wqbox::config cfg;
    cfg.transcript = [&](const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(line);
    };
    start_box(cfg);
    auto line = host();
    exchange(line, command_block(0x7D), 52);
    box->stop();
    const auto has = [&](const char* a, const char* b) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(a) != std::string::npos && l.find(b) != std::string::npos;
        });
    };
    EXPECT_TRUE(has("host>box", "7D 7D 7D"));
    EXPECT_TRUE(has("box>host", "2B 2B 2B"));
    EXPECT_TRUE(has("serial", "probe"));
}

TEST(WqboxCrc, MatchesTheStandardCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(wqbox::crc32(reinterpret_cast<const unsigned char*>(check.data()), check.size()), 0xCBF43926u);
    const std::vector<unsigned char> data(1000, 0xA5);
    EXPECT_EQ(wqbox::crc32(data.data(), data.size()), reference_crc32(data));
}

TEST(WqboxFaultSpelling, RejectsWhatItCannotRead) {
    wqbox::fault f;
    std::string error;
    for (const char* bad : {"probe", "nosuch:silent", "probe:explode", "probe:silent:3", "probe:cut:x",
                            "probe:silent@0", "probe:split:a/b"}) {
        EXPECT_FALSE(wqbox::parse_fault(bad, &f, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    ASSERT_TRUE(wqbox::parse_fault("BTREAD_BAT:split:2/300@3", &f, &error)) << error;
    EXPECT_EQ(f.request, "BTREAD_BAT");
    EXPECT_EQ(f.kind, wqbox::fault_kind::split);
    EXPECT_EQ(f.amount, 2u);
    EXPECT_EQ(f.pause_ms, 300u);
    EXPECT_EQ(f.times, 3);
}

}  // namespace
