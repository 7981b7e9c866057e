// The box's side of both links: every byte the box expects and sends.
//
// These are the emulator's own constants, written independently of the
// library's, so that a mistake on one side of the wire is not mirrored on
// the other and the tests between them can catch it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace wqbox::wire {

using namespace std::string_view_literals;

// ---- serial link -------------------------------------------------------------

// A host request is a block of 32 copies of one command byte.
inline constexpr std::size_t block_size = 32;

inline constexpr unsigned char cmd_probe = 0x7D;
inline constexpr unsigned char cmd_read_settings = 0x2B;
inline constexpr unsigned char cmd_write_settings = 0x3F;
inline constexpr unsigned char cmd_defaults = 0x26;
inline constexpr unsigned char cmd_clock = 0x7E;
inline constexpr unsigned char cmd_ota_request = 0x2A;
inline constexpr unsigned char cmd_ota_start = 0x7C;
inline constexpr unsigned char cmd_ota_verify = 0x2D;
inline constexpr unsigned char cmd_usage_count = 0x60;

// Probe answer: 32 echo bytes, one byte of our own (a protocol revision),
// then the identification text and its zero byte (at most 63 characters).
inline constexpr unsigned char probe_echo = 0x2B;
inline constexpr unsigned char probe_revision = 0x01;
inline constexpr std::size_t identification_max = 63;

// Settings exchange acknowledgements, zero byte included.
inline constexpr std::string_view write_ack = "DOWNLOAD_S\0"sv;
inline constexpr std::string_view write_done = "DOWNLOAD_E\0"sv;
inline constexpr std::string_view defaults_ack = "DEF_ACK\0"sv;

// Clock: after the command block comes a time block of 32 bytes, the time
// value's low 32 bits little-endian and 28 copies of the clock command byte.
inline constexpr std::size_t time_block_size = 32;
inline constexpr std::size_t time_value_size = 4;

// Firmware update: a 16-byte control block (two 64-bit little-endian values)
// and 13-byte acknowledgements.
inline constexpr std::size_t ota_control_size = 16;
inline constexpr std::size_t ota_control_value_size = 8;
inline constexpr std::string_view ota_request_ack = "OTA_REQ_ACKN\0"sv;
inline constexpr std::string_view ota_control_ack = "OTA_RCV_CTRL\0"sv;
inline constexpr std::string_view ota_start_ack = "OTA_DNL_STRT\0"sv;
inline constexpr std::string_view ota_done_ack = "OTA_DNL_DONE\0"sv;
// Our answer to a verify whose image does not match its control values.
inline constexpr std::string_view ota_failed = "OTA_DNL_FAIL\0"sv;

// Usage log: a 4-byte count, 14-byte text requests, 128-byte records.
inline constexpr std::size_t usage_count_size = 4;
inline constexpr std::string_view usage_start = "USEDATA_START\0"sv;
inline constexpr std::string_view usage_end = "USEDATA_END__\0"sv;
inline constexpr std::size_t usage_record_size = 128;

// ---- Bluetooth link ------------------------------------------------------------

// Every frame is "$$" + payload + "##"; a command frame carries a 10-letter tag.
inline constexpr unsigned char frame_start = '$';
inline constexpr unsigned char frame_end = '#';
inline constexpr std::size_t frame_marker_size = 2;
inline constexpr std::size_t tag_size = 10;
inline constexpr std::size_t command_frame_size = tag_size + 2 * frame_marker_size;

// Requests.
inline constexpr std::string_view tag_connect = "BTCONN_REQ"sv;
inline constexpr std::string_view tag_write_settings = "BTWRTE_REQ"sv;
inline constexpr std::string_view tag_read_settings = "BTREAD_REQ"sv;
inline constexpr std::string_view tag_defaults = "BTDEFL_REQ"sv;
inline constexpr std::string_view tag_sync_time = "BTSYNC_TIM"sv;
inline constexpr std::string_view tag_identify = "BT_IDENTFY"sv;
inline constexpr std::string_view tag_device_reset = "BT_TAP_RST"sv;
inline constexpr std::string_view tag_usage_settings_count = "BTUSET_RRQ"sv;
inline constexpr std::string_view tag_usage_settings_read = "BTUSET_RBG"sv;
inline constexpr std::string_view tag_usage_settings_write = "BTUSET_WRQ"sv;
inline constexpr std::string_view tag_usage_count = "BTUDAT_REQ"sv;
inline constexpr std::string_view tag_usage_next = "BTUDAT_STR"sv;
inline constexpr std::string_view tag_usage_repeat = "BTUDAT_RET"sv;
inline constexpr std::string_view tag_usage_end = "BTUDAT_END"sv;
inline constexpr std::string_view tag_ota_request = "BT_OTA_REQ"sv;
inline constexpr std::string_view tag_ota_start = "BT_OTA_STR"sv;
inline constexpr std::string_view tag_ota_done = "BT_OTA_DNE"sv;
inline constexpr std::string_view tag_ota_reset = "BT_OTA_RST"sv;
inline constexpr std::string_view tag_battery = "BTREAD_BAT"sv;
inline constexpr std::string_view tag_flush = "BT_TAP_SPL"sv;

// Replies.
inline constexpr std::string_view reply_connect = "BTCONN_ACK"sv;
inline constexpr std::string_view reply_write_ack = "BTWRTE_ACK"sv;
inline constexpr std::string_view reply_write_done = "BTWRTE_DNE"sv;
inline constexpr std::string_view reply_defaults = "BTDEFL_ACK"sv;
inline constexpr std::string_view reply_busy = "BTBUSY_XXX"sv;
inline constexpr std::string_view reply_usage_settings_ack = "BTUSET_WAC"sv;
inline constexpr std::string_view reply_usage_settings_done = "BTUSET_WDN"sv;
inline constexpr std::string_view reply_ota_ack = "BT_OTA_ACK"sv;
inline constexpr std::string_view reply_ota_control = "BT_OTA_CTL"sv;
inline constexpr std::string_view reply_ota_started = "BT_OTA_PRO"sv;
inline constexpr std::string_view reply_ota_complete = "BT_OTA_CMP"sv;
// Our answer to a final confirmation whose image does not match.
inline constexpr std::string_view reply_ota_failed = "BT_OTA_ERR"sv;
inline constexpr std::string_view reply_flush = "BT_SPL_ACK"sv;

// The OTA control frame: "$$", two 64-bit little-endian values, "##".
inline constexpr std::size_t bt_ota_control_frame_size = ota_control_size + 2 * frame_marker_size;

// Settings data frames: "$$" + record + "##".
inline constexpr std::size_t standard_record_size = 380;
inline constexpr std::size_t safe_record_size = 384;
inline constexpr std::size_t short_record_size = 344;

}  // namespace wqbox::wire
