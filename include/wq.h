/**
 * @file wq.h
 * @brief Host interface of the wq library: 38 plain C functions that talk
 * to the controller of a sanitary dispensing fitting ("the box") over a
 * serial COM port or a Bluetooth RFCOMM link.
 *
 * @section conventions Conventions shared by every operation
 *
 * - **Status.** The result is a status code: 0 success, 1 failure, unless
 *   an operation says otherwise (wq_connect_to_box() returns a port number,
 *   the usage-log fetches return the kind of entry,
 *   wq_convert_flowrate_to_double() a number).
 * - **Message.** `message` is a caller-owned buffer of at least 128 bytes
 *   that receives one zero-terminated message, written from its first byte
 *   (never appended to an earlier one). Each operation says what it leaves
 *   there on success; on failure it names the step that failed, such as
 *   "Error Occured While Reading Settings". Bluetooth messages of a failed
 *   send end in the Windows Sockets error code, in decimal ("Send
 *   OTA-Data Failed.10054"); a receive that got no reply leaves "An Error
 *   Occurred During Reading: 10060" (the code of the last receive) or
 *   "Read Overflow" (the box closed the link). The serial operations empty
 *   the buffer when they start; the Bluetooth ones do not, so a Bluetooth
 *   operation that writes no message leaves the buffer empty after a
 *   receive, or as it was.
 * - **Language.** `language` non-zero selects German messages, zero English
 *   ones. Short technical texts are the same in both.
 * - **Texts.** Messages and every text the box sends (settings, usage-log
 *   values, names) are single-byte Latin-1: the German umlauts are the
 *   bytes 0xE4, 0xF6, 0xFC (lower case) and 0xC4, 0xD6, 0xDC (upper case).
 * - **Serial link.** Operations take a COM port number (1..15), which they
 *   open for the call and close again, or the serial handle that
 *   wq_ota_open_port() handed out (a 32-bit signed integer). A port is
 *   held exclusively while open: a second open fails. On Linux, COM n is
 *   `$WQ_COM_DIR/COMn`, else `/dev/ttyS<n-1>`.
 * - **Bluetooth link.** Operations take the box's address (::BTH_ADDR, from
 *   wq_connect_to_bt_device()) and open their own connection for the
 *   call, or take the socket of a kept connection (from
 *   wq_bt_ota_connect()). On Linux, `$WQ_BT_DIR` selects the emulated
 *   Bluetooth of the box emulator, else bluetoothd is asked.
 * - **Blocking.** Every call blocks until its exchange, its waits and its
 *   time-outs are over. There is no global state, no initialisation and
 *   no thread; call the operations of one link one at a time.
 *
 * @section sequences Multi-call sequences
 *
 * The firmware update and the usage-log download run over a link the host
 * holds between calls, and the host closes it on every path:
 *
 * | sequence | open | steps | close |
 * |---|---|---|---|
 * | serial firmware | wq_ota_open_port() | wq_ota_start(), wq_ota_start_xmit(), wq_ota_xmit_data() per chunk | wq_ota_confirm_done() (closes on every outcome), else wq_force_close_handle() |
 * | serial usage log | wq_ota_open_port() | wq_use_data_req(), wq_use_data_fetch() per entry, wq_use_data_done() | wq_force_close_handle() |
 * | Bluetooth firmware | wq_bt_ota_connect() | wq_bt_ota_start(), wq_bt_ota_start_xmit(), wq_bt_ota_xmit_data() per chunk, wq_bt_ota_done() | wq_bt_ota_disconnect() or wq_bt_ota_reset() |
 * | Bluetooth usage log | wq_bt_ota_connect() | wq_bt_use_data_req(), wq_bt_use_data_fetch() per entry | wq_bt_use_data_done() (closes), else wq_bt_ota_disconnect() |
 *
 * The library checks neither the order of the calls nor whether the link
 * is still open. The two control values of a firmware request are, by
 * agreement with the box, the image's length in bytes and its CRC-32 (the
 * zlib polynomial); the box accepts the image only when both match.
 */
#ifndef WQ_H
#define WQ_H

/* The library's version, for a host to test at compile time; the build
   takes its version from these three lines. */
#define WQ_VERSION_MAJOR 0 /**< Changes when a host must be rebuilt. */
#define WQ_VERSION_MINOR 1 /**< Changes with operations or behaviour added. */
#define WQ_VERSION_PATCH 0 /**< Changes with fixes only. */

/** The 48-bit Bluetooth radio address in the low bits of a 64-bit value:
 *  00:11:22:33:44:AA is 0x0011223344AA. The same type as the Windows SDK's
 *  own BTH_ADDR, declared here so that the header needs nothing from the
 *  platform; a host that includes both gets the same type twice. */
typedef unsigned long long BTH_ADDR;

#ifdef __cplusplus
#define WQ_NOEXCEPT noexcept
extern "C" {
#else
/** Marks the operations noexcept for a C++ host; nothing in C. */
#define WQ_NOEXCEPT
#endif

/** @defgroup serial_link Serial link and box discovery
 *  Finding a box on a COM port, and closing a handle of a sequence.
 *  @{ */

/**
 * @brief Probes COM1..COM15, in order, for a box.
 * @param[out] text At least 64 bytes. The identification text of the box
 *   that answered (at most 63 characters and the zero). When none did, the
 *   probe error of the last port that opened ("XMIT_ERROR",
 *   "RCV_ERROR_1" to "RCV_ERROR_4"), or left as it was when no port opened.
 * @return The port number (1..15) of the first box that answered, or 0.
 */
int wq_connect_to_box(char *text) WQ_NOEXCEPT;

/**
 * @brief Closes a serial handle handed out by wq_ota_open_port().
 *
 * The first three parameters stand where the firmware operations carry
 * theirs and are not read.
 * @param unused Not read.
 * @param unused_message Not read or written.
 * @param unused_language Not read.
 * @param handle The serial handle to close.
 * @return Always 0.
 */
int wq_force_close_handle(int unused, char *unused_message, int unused_language,
                          int handle) WQ_NOEXCEPT;

/** @} */

/** @defgroup serial_settings Serial settings
 *  The box's user settings record: 344 bytes in the short format, 380 in
 *  the long one, which adds `text_8` and `mode`.
 *  @{ */

/**
 * @brief Reads the settings record and returns its fields as texts.
 *
 * The texts are the record's bytes as stored; the numbers are decimal.
 * On failure the outputs are left as they were.
 * @param port COM port number, 1..15.
 * @param[out] text_1 At least 32 bytes.
 * @param[out] text_2 At least 32 bytes.
 * @param[out] text_3 At least 32 bytes.
 * @param[out] text_4 At least 64 bytes.
 * @param[out] number At least 12 bytes.
 * @param[out] choice_number At least 6 bytes.
 * @param[out] text_5 At least 32 bytes.
 * @param[out] text_6 At least 32 bytes.
 * @param[out] text_7 At least 48 bytes.
 * @param[out] text_8 At least 32 bytes; written for the long format only.
 * @param[out] mode At least 12 bytes; written for the long format only.
 * @param[out] message At least 128 bytes: "Read User Settings Success!" or why not.
 * @param short_format Non-zero: the short 344-byte record; zero: the long 380-byte one.
 * @param language Non-zero: German messages.
 * @return 0 when the whole record arrived, else 1.
 */
int wq_read_settings(int port, char *text_1, char *text_2, char *text_3, char *text_4,
                     char *number, char *choice_number, char *text_5, char *text_6,
                     char *text_7, char *text_8, char *mode, char *message,
                     int short_format, int language) WQ_NOEXCEPT;

/**
 * @brief Writes the fields selected by `fields` into the box's settings.
 *
 * `text_1`, `text_2`, `text_4` and `text_5` are UTF-8 and stored as
 * Latin-1; the other texts are stored as given. Each text must fit its
 * field with its zero (31 bytes; 63 for `text_4`, 47 for `text_7`). Takes
 * at least 500 ms.
 * @param port COM port number, 1..15.
 * @param text_1 Bit 0x0001.
 * @param text_2 Bit 0x0002.
 * @param text_3 Bit 0x0004.
 * @param text_4 Bit 0x0008.
 * @param number Bit 0x0400: a decimal text; its low 16 bits are stored.
 * @param choice_number A decimal text, read only when `choice` is 4.
 * @param text_5 Bit 0x0080.
 * @param text_6 Bit 0x0100.
 * @param text_7 Bit 0x0800.
 * @param text_8 Bit 0x1000; long format only.
 * @param[out] message At least 128 bytes: "Write Settings Successful!" or why not.
 * @param choice 0..4 is always applied; any other value leaves the choice fields out.
 * @param choice_byte Its low 8 bits, used when `choice` is 4.
 * @param mode Bit 0x2000; long format only.
 * @param short_format Non-zero: the short 344-byte record; zero: the long 380-byte one.
 * @param fields The fields to write: an OR of the bits above.
 * @param language Non-zero: German messages.
 * @return 0 when the box confirmed the stored record, else 1.
 */
int wq_write_settings(int port, const char *text_1, const char *text_2, const char *text_3,
                      const char *text_4, const char *number, const char *choice_number,
                      const char *text_5, const char *text_6, const char *text_7,
                      const char *text_8, char *message, unsigned int choice, int choice_byte,
                      int mode, int short_format, unsigned int fields,
                      int language) WQ_NOEXCEPT;

/**
 * @brief Asks the box to restore its default settings.
 * @param port COM port number, 1..15.
 * @param[out] message At least 128 bytes: "Restore Default User Settings Success!" or why not.
 * @param language Non-zero: German messages.
 * @return 0 when the box acknowledged, else 1.
 */
int wq_default_settings(int port, char *message, int language) WQ_NOEXCEPT;

/** @} */

/** @defgroup serial_clock Serial clock
 *  @{ */

/**
 * @brief Sets the box clock.
 * @param port COM port number, 1..15.
 * @param time Seconds since 1970-01-01 00:00 UTC; truncated, and its low
 *   32 bits are sent.
 * @param[out] message At least 128 bytes: left as it was on success, else why not.
 * @param language Non-zero: German messages.
 * @return 0 when both clock blocks were sent, else 1.
 */
int wq_sync_time(int port, double time, char *message, int language) WQ_NOEXCEPT;

/** @} */

/** @defgroup serial_firmware Serial firmware update
 *  Call in this order: wq_ota_open_port(), wq_ota_start(),
 *  wq_ota_start_xmit(), wq_ota_xmit_data() once per chunk,
 *  wq_ota_confirm_done(). A step that fails leaves the port open: close it
 *  with wq_force_close_handle(). Each call empties `message` first.
 *  @{ */

/**
 * @brief Opens the port for a firmware update or a usage-log download.
 * @param port COM port number, 1..15.
 * @param[out] message At least 128 bytes: empty on success, else
 *   "Unable Open Port. Please Check Connections".
 * @param language Non-zero: German messages.
 * @param[out] handle The serial handle; 0 on failure.
 * @return 0 when the port opened, else 1.
 */
int wq_ota_open_port(int port, char *message, int language, int *handle) WQ_NOEXCEPT;

/**
 * @brief Requests the update and hands over the two control values.
 * @param unused Not read.
 * @param[out] message At least 128 bytes: "OTA Control Sent." or why not.
 * @param language Non-zero: German messages.
 * @param handle From wq_ota_open_port().
 * @param control1 The image's length in bytes.
 * @param control2 The image's CRC-32.
 * @return 0 when the box acknowledged both, else 1.
 */
int wq_ota_start(int unused, char *message, int language, int handle,
                 unsigned int control1, unsigned int control2) WQ_NOEXCEPT;

/**
 * @brief Waits until the box is ready for the image.
 *
 * Reads a second apart: gives up after 20 failed reads (a box that keeps
 * sending wrong replies ends it after 100 of them).
 * @param unused Not read.
 * @param[out] message At least 128 bytes: "OTA Start acknowledged. Sending OTA Data..." or why not.
 * @param language Non-zero: German messages.
 * @param handle From wq_ota_open_port().
 * @return 0 when the box is ready, else 1.
 */
int wq_ota_start_xmit(int unused, char *message, int language, int handle) WQ_NOEXCEPT;

/**
 * @brief Sends one chunk of the image in one write.
 *
 * A write may take 200 ms: 512 bytes take 89 ms at the line's 57600 baud.
 * @param unused Not read.
 * @param[out] message At least 128 bytes: empty on success, else why not.
 * @param language Non-zero: German messages.
 * @param handle From wq_ota_open_port().
 * @param image The whole image.
 * @param length The chunk's length in bytes.
 * @param offset Where the chunk starts in `image`; the chunk must lie within it.
 * @return 0 when every byte was written, else 1.
 */
int wq_ota_xmit_data(int unused, char *message, int language, int handle,
                     const unsigned char *image, int length, unsigned int offset) WQ_NOEXCEPT;

/**
 * @brief Asks the box to verify the image; closes the port on every outcome.
 * @param unused Not read.
 * @param[out] message At least 128 bytes: "OTA programming successfully done!";
 *   "Invalid 'OTA Done' Response. Please Check Firmware" when the box
 *   refused the image; else why its answer did not arrive.
 * @param language Non-zero: German messages.
 * @param handle From wq_ota_open_port().
 * @return 0 when the box accepted the image, else 1.
 */
int wq_ota_confirm_done(int unused, char *message, int language, int handle) WQ_NOEXCEPT;

/** @} */

/** @defgroup serial_usage_log Serial usage log
 *  On a handle from wq_ota_open_port(): wq_use_data_req() once,
 *  wq_use_data_fetch() once per entry, wq_use_data_done(), then
 *  wq_force_close_handle(). A failure leaves the port open.
 *  @{ */

/**
 * @brief Asks for the number of log entries.
 * @param handle From wq_ota_open_port().
 * @param[out] entry_count The number of entries; written on success only.
 * @param[out] message At least 128 bytes: on failure why; on success
 *   empty, or the failure text of a read attempt that a later one made good.
 * @param language Non-zero: German messages.
 * @return 0 when the count arrived, else 1.
 */
int wq_use_data_req(int handle, unsigned int *entry_count, char *message,
                    int language) WQ_NOEXCEPT;

/**
 * @brief Fetches the next entry into eight outputs.
 *
 * Every output is zero-filled first. A water entry fills the three water
 * values and writes "0" to the product values; a product entry the other
 * way round; an other entry only the entry number and the usage text.
 * @param handle From wq_ota_open_port().
 * @param product_mode 1: product entries return 0; any other value: they return 3.
 * @param water_variant 2: usage code 12 reads "Ambient Water"; else "Carbonated Water".
 * @param[out] entry_number 32 bytes.
 * @param[out] water_value 16 bytes.
 * @param[out] usage_text 32 bytes: the English usage text, such as "Soap".
 * @param[out] product_value_1 8 bytes.
 * @param[out] product_value_2 8 bytes.
 * @param[out] water_value_2 8 bytes.
 * @param[out] water_value_3 8 bytes.
 * @param[out] entry_key 40 bytes: the entry's 32-character key and zeros; empty for an empty slot.
 * @param[out] message At least 128 bytes: why the link failed; else as wq_use_data_req().
 * @param language Non-zero: German messages.
 * @return 0 a water entry (or a product entry with `product_mode` 1); 1 an
 *   other entry, or a link failure (then `usage_text` is empty); 2 an
 *   empty slot; 3 a product entry with `product_mode` other than 1.
 */
int wq_use_data_fetch(int handle, int product_mode, int water_variant, char *entry_number,
                      char *water_value, char *usage_text, char *product_value_1,
                      char *product_value_2, char *water_value_2, char *water_value_3,
                      char *entry_key, char *message, int language) WQ_NOEXCEPT;

/**
 * @brief Tells the box the download is over; the port stays open.
 * @param handle From wq_ota_open_port().
 * @param[out] message At least 128 bytes: empty on success, else why not.
 * @param language Non-zero: German messages.
 * @return 0 when the request was written, else 1.
 */
int wq_use_data_done(int handle, char *message, int language) WQ_NOEXCEPT;

/** @} */

/** @defgroup conversion Value conversion
 *  @{ */

/**
 * @brief Reads the number at the start of a usage-log value text.
 *
 * Leading blanks, a sign, digits, a fraction and an exponent, as C's
 * `atof` reads them in the C locale; a text without a number gives 0.0.
 * @param text The characters; need not be terminated.
 * @param length How many characters of `text` to read, 0..7.
 * @param cut Where to stop early, 0..7: min(length, cut) characters are read.
 * @return The number.
 */
double wq_convert_flowrate_to_double(const char *text, int length, int cut) WQ_NOEXCEPT;

/** @} */

/** @defgroup bt_connection Bluetooth discovery and connection
 *  @{ */

/**
 * @brief Lists the names of the known Bluetooth devices.
 * @param[out] list Names in 32-byte slots, without a terminator when a
 *   name fills its slot; its first `list_size` bytes are zeroed first.
 * @param list_size The size of `list` in bytes.
 * @param[out] count The number of names stored; written on success only.
 * @param[out] message At least 128 bytes: left as it was on success, else why not
 *   (such as "Lookup Service Begin Error").
 * @param language Non-zero: German messages.
 * @return 0 when the lookup ran to its end, else 1.
 */
int wq_get_device_list(char *list, int list_size, unsigned int *count, char *message,
                       int language) WQ_NOEXCEPT;

/**
 * @brief Finds the known device `name`, runs the connect handshake and
 * hands out its address.
 * @param[out] address The box's address; written on success only.
 * @param name The device name as wq_get_device_list() lists it.
 * @param[out] message At least 128 bytes: the box's greeting on success;
 *   else why not, such as "Device cannot be found!".
 * @param language Non-zero: German messages.
 * @return 0 when the box answered the handshake, else 1.
 */
int wq_connect_to_bt_device(BTH_ADDR *address, const char *name, char *message,
                            int language) WQ_NOEXCEPT;

/**
 * @brief Opens a kept connection for a firmware update or a usage-log download.
 * @param address From wq_connect_to_bt_device().
 * @param[out] socket The connection, for the sequence's calls.
 * @param[out] message At least 128 bytes: left as it was on success, else why not.
 * @param language Non-zero: German messages.
 * @return 0 when connected, else 1.
 */
int wq_bt_ota_connect(BTH_ADDR address, unsigned int *socket, char *message,
                      int language) WQ_NOEXCEPT;

/**
 * @brief Closes a kept connection.
 * @param socket From wq_bt_ota_connect().
 * @return Always 0.
 */
int wq_bt_ota_disconnect(unsigned int socket) WQ_NOEXCEPT;

/** @} */

/** @defgroup bt_settings Bluetooth settings
 *  The settings record in the standard layout (380 bytes, as the serial
 *  long format) or the safe one (384 bytes, numbers as decimal texts).
 *  With `mode` 3 (address mode), `address_1` and `address_2` take the
 *  place of `text_8`, and `address_3` is written with `text_7`.
 *  @{ */

/**
 * @brief Writes the fields selected by `fields` into the box's settings.
 *
 * An unanswered write request is sent again, 5 times at most (about
 * 5.5 s). Texts as for wq_write_settings(); `text_7` takes at most 39
 * bytes and `number` at most 3 digits in the safe layout.
 * @param address From wq_connect_to_bt_device().
 * @param text_1 Bit 0x0001, UTF-8.
 * @param text_2 Bit 0x0002, UTF-8.
 * @param text_3 Bit 0x0004.
 * @param text_4 Bit 0x0008, UTF-8.
 * @param number Bit 0x0400: a decimal text.
 * @param choice_number A decimal text, used when `choice` is 4.
 * @param text_5 Bit 0x0080, UTF-8.
 * @param text_6 Bit 0x0100.
 * @param text_7 Bit 0x0800.
 * @param text_8 Bit 0x1000 outside address mode.
 * @param address_1 Bit 0x1000 in address mode: at least 16 bytes, up to
 *   15 digits and separators, which become dots.
 * @param address_2 As `address_1`.
 * @param address_3 Bit 0x0800 in address mode: 15 bytes are read.
 * @param[out] message At least 128 bytes: "Write Settings Successful!"
 *   ("[Safe] Write Settings Successful!"); "Write setting denied. Reason:
 *   in-use. " when the box is in use; else why not.
 * @param choice 0..4 is always applied; any other value leaves the choice fields out.
 * @param choice_byte Used when `choice` is 4.
 * @param mode Bit 0x2000; 3 selects address mode whether or not the bit is given.
 * @param fields The fields to write: an OR of the bits above.
 * @param safe Non-zero: the safe 384-byte layout.
 * @param language Non-zero: German messages.
 * @return 0 when the box confirmed the write, else 1.
 */
int wq_bt_write_settings(BTH_ADDR address, const char *text_1, const char *text_2,
                         const char *text_3, const char *text_4, const char *number,
                         const char *choice_number, const char *text_5, const char *text_6,
                         const char *text_7, const char *text_8, const char *address_1,
                         const char *address_2, const char *address_3, char *message,
                         unsigned int choice, unsigned char choice_byte, int mode,
                         unsigned int fields, int safe, int language) WQ_NOEXCEPT;

/**
 * @brief Reads the settings and returns their fields as texts.
 *
 * Output sizes as for wq_read_settings(). On failure the outputs are left
 * as they were.
 * @param address From wq_connect_to_bt_device().
 * @param[out] text_1 At least 32 bytes.
 * @param[out] text_2 At least 32 bytes.
 * @param[out] text_3 At least 32 bytes.
 * @param[out] text_4 At least 64 bytes.
 * @param[out] number At least 12 bytes.
 * @param[out] choice_number At least 6 bytes.
 * @param[out] text_5 At least 32 bytes.
 * @param[out] text_6 At least 32 bytes.
 * @param[out] text_7 At least 48 bytes.
 * @param[out] text_8 At least 32 bytes.
 * @param[out] mode At least 12 bytes.
 * @param[out] address_1 At least 15 bytes, written without terminator:
 *   zero them first. Meaningful in address mode.
 * @param[out] address_2 As `address_1`.
 * @param[out] address_3 As `address_1`.
 * @param[out] message At least 128 bytes: "Read User Settings Success!"
 *   ("[SAFE] Read User Settings Success!") or why not.
 * @param safe Non-zero: the safe 384-byte layout.
 * @param language Non-zero: German messages.
 * @return 0 when the record arrived, else 1.
 */
int wq_bt_read_settings(BTH_ADDR address, char *text_1, char *text_2, char *text_3,
                        char *text_4, char *number, char *choice_number, char *text_5,
                        char *text_6, char *text_7, char *text_8, char *mode, char *address_1,
                        char *address_2, char *address_3, char *message, int safe,
                        int language) WQ_NOEXCEPT;

/**
 * @brief Asks the box to restore its default settings.
 * @param address From wq_connect_to_bt_device().
 * @param[out] message At least 128 bytes: "Restore Default User Settings
 *   Success!"; "Restore factory settings denied. Reason: in-use. " when
 *   the box is in use; else why not.
 * @param language Non-zero: German messages.
 * @return 0 when the box acknowledged, else 1.
 */
int wq_bt_default_settings(BTH_ADDR address, char *message, int language) WQ_NOEXCEPT;

/** @} */

/** @defgroup bt_device Bluetooth clock, identify and reset
 *  @{ */

/**
 * @brief Sets the box clock.
 * @param address From wq_connect_to_bt_device().
 * @param time Seconds since 1970-01-01 00:00 UTC.
 * @param[out] message At least 128 bytes: left as it was on success, else why not.
 * @param language Non-zero: German messages.
 * @return 0 when both frames were sent, else 1.
 */
int wq_bt_sync_time(BTH_ADDR address, unsigned long long time, char *message,
                    int language) WQ_NOEXCEPT;

/**
 * @brief Asks the box to make itself known on site.
 * @param address From wq_connect_to_bt_device().
 * @param[out] message At least 128 bytes: left as it was on success, else why not.
 * @param language Non-zero: German messages.
 * @return 0 when the request was sent, else 1.
 */
int wq_bt_identify(BTH_ADDR address, char *message, int language) WQ_NOEXCEPT;

/**
 * @brief Asks the box to restart.
 * @param address From wq_connect_to_bt_device().
 * @param[out] message At least 128 bytes: "Send RST_REQ Success." or why not.
 * @param language Non-zero: German messages.
 * @return 0 when the request was sent, else 1.
 */
int wq_bt_reset_device(BTH_ADDR address, char *message, int language) WQ_NOEXCEPT;

/** @} */

/** @defgroup bt_usage_settings Bluetooth usage settings
 *  The usage-settings block: bytes the library passes on unread. A block
 *  read travels as a frame's payload, so '$' and '#' do not arrive intact.
 *  @{ */

/**
 * @brief Reads the number of usage settings.
 * @param address From wq_connect_to_bt_device().
 * @param[out] count The count; written on success only.
 * @param[out] message At least 128 bytes: empty on success, else why not.
 * @param language Non-zero: German messages.
 * @return 0 when the count arrived, else 1.
 */
int wq_bt_get_usage_setting_cnt(BTH_ADDR address, unsigned int *count, char *message,
                                int language) WQ_NOEXCEPT;

/**
 * @brief Reads the usage-settings block.
 *
 * Note the size order: `buffer_size` before `data_size` here, the other
 * way round in wq_bt_write_usage_settings().
 * @param address From wq_connect_to_bt_device().
 * @param buffer_size The size of `settings`, at least `data_size` and at
 *   least the block's length plus 2; all of it is zero-filled first.
 * @param data_size How many bytes of the block to copy into `settings`.
 * @param[out] settings `buffer_size` bytes.
 * @param[out] message At least 128 bytes: "Read Usage Settings Success!" or why not.
 * @param language Non-zero: German messages.
 * @return 0 when the block arrived, else 1.
 */
int wq_bt_read_usage_settings(BTH_ADDR address, int buffer_size, int data_size,
                              void *settings, char *message, int language) WQ_NOEXCEPT;

/**
 * @brief Writes the usage-settings block.
 * @param address From wq_connect_to_bt_device().
 * @param data_size The block's length in bytes, not negative.
 * @param buffer_size The library's work buffer: at least `data_size` + 4.
 * @param settings The block.
 * @param[out] message At least 128 bytes: empty on success; "Write setting
 *   denied. Reason: in-use." when the box is in use; else why not.
 * @param language Non-zero: German messages.
 * @return 0 when the box took the block, else 1.
 */
int wq_bt_write_usage_settings(BTH_ADDR address, int data_size, int buffer_size,
                               const void *settings, char *message, int language) WQ_NOEXCEPT;

/** @} */

/** @defgroup bt_usage_log Bluetooth usage log
 *  On a socket from wq_bt_ota_connect(): wq_bt_use_data_req() once,
 *  wq_bt_use_data_fetch() once per entry, wq_bt_use_data_done(), which
 *  closes the connection. A failure leaves the connection open.
 *  @{ */

/**
 * @brief Asks for the number of log entries.
 * @param socket From wq_bt_ota_connect().
 * @param[out] entry_count The number of entries; written on success only.
 * @param[out] message At least 128 bytes: empty on success, else why not.
 * @param language Non-zero: German messages.
 * @return 0 when the count arrived, else 1.
 */
int wq_bt_use_data_req(unsigned int socket, unsigned int *entry_count, char *message,
                       int language) WQ_NOEXCEPT;

/**
 * @brief Fetches the next entry into eight outputs, as wq_use_data_fetch().
 * @param socket From wq_bt_ota_connect().
 * @param product_mode 1: product entries return 0; any other value: they return 3.
 * @param water_variant 2: usage code 12 reads "Ambient Water"; else "Carbonated Water".
 * @param[out] entry_number 32 bytes; "0" when the box's was not all digits.
 * @param[out] water_value 16 bytes.
 * @param[out] usage_text 32 bytes.
 * @param[out] product_value_1 8 bytes.
 * @param[out] product_value_2 8 bytes.
 * @param[out] water_value_2 8 bytes.
 * @param[out] water_value_3 8 bytes.
 * @param[out] entry_key 40 bytes; empty for an empty slot or a bad entry number.
 * @param[out] message At least 128 bytes: why the link failed; else as it
 *   was, or the text of a receive that a later one made good.
 * @param repeat Non-zero: ask the box to send the last entry again, as
 *   after a fetch whose link failed.
 * @param language Non-zero: German messages.
 * @return As wq_use_data_fetch(), and 9 when the entry number was not all digits.
 */
int wq_bt_use_data_fetch(unsigned int socket, int product_mode, int water_variant,
                         char *entry_number, char *water_value, char *usage_text,
                         char *product_value_1, char *product_value_2, char *water_value_2,
                         char *water_value_3, char *entry_key, char *message, int repeat,
                         int language) WQ_NOEXCEPT;

/**
 * @brief Ends the download and closes the kept connection, whatever the outcome.
 * @param socket From wq_bt_ota_connect().
 * @param[out] message At least 128 bytes: left as it was on success, else why not.
 * @param language Non-zero: German messages.
 * @return 0 when the end request was sent, else 1.
 */
int wq_bt_use_data_done(unsigned int socket, char *message, int language) WQ_NOEXCEPT;

/** @} */

/** @defgroup bt_firmware Bluetooth firmware update
 *  On a socket from wq_bt_ota_connect(): wq_bt_ota_start(),
 *  wq_bt_ota_start_xmit(), wq_bt_ota_xmit_data() once per chunk,
 *  wq_bt_ota_done(); then wq_bt_ota_disconnect(), or wq_bt_ota_reset() to
 *  restart the box. A failure leaves the connection open.
 *  @{ */

/**
 * @brief Requests the update and hands over the two control values.
 * @param socket From wq_bt_ota_connect().
 * @param control1 The image's length in bytes.
 * @param control2 The image's CRC-32.
 * @param[out] message At least 128 bytes: empty on success; why not, or
 *   empty when the box did not acknowledge the control values.
 * @param language Non-zero: German messages.
 * @return 0 when the box acknowledged both, else 1.
 */
int wq_bt_ota_start(unsigned int socket, unsigned int control1, unsigned int control2,
                    char *message, int language) WQ_NOEXCEPT;

/**
 * @brief Waits until the box is ready for the image (about 10 s at most).
 * @param socket From wq_bt_ota_connect().
 * @param[out] message At least 128 bytes: empty on success, else why not.
 * @param language Non-zero: German messages.
 * @return 0 when the box is ready, else 1.
 */
int wq_bt_ota_start_xmit(unsigned int socket, char *message, int language) WQ_NOEXCEPT;

/**
 * @brief Sends one chunk of the image in one send.
 *
 * A send that takes only part of the chunk is not reported: keep chunks
 * well within the 4096-byte send buffer (1024 bytes, say).
 * @param socket From wq_bt_ota_connect().
 * @param image The whole image.
 * @param length The chunk's length in bytes.
 * @param offset Where the chunk starts in `image`; the chunk must lie within it.
 * @param[out] message At least 128 bytes: left as it was on success, else why not.
 * @param language Non-zero: German messages.
 * @return 0 when the chunk was sent, else 1.
 */
int wq_bt_ota_xmit_data(unsigned int socket, const char *image, int length,
                        unsigned int offset, char *message, int language) WQ_NOEXCEPT;

/**
 * @brief Asks the box to verify the image; the connection stays open.
 * @param socket From wq_bt_ota_connect().
 * @param[out] message At least 128 bytes: "OTA programming successfully
 *   done!"; "Invalid BT_OTA_DONE_ACK_WORD Response." when the box refused
 *   the image; else why its answer did not arrive.
 * @param language Non-zero: German messages.
 * @return 0 when the box accepted the image, else 1.
 */
int wq_bt_ota_done(unsigned int socket, char *message, int language) WQ_NOEXCEPT;

/**
 * @brief Asks the box to restart and closes the kept connection, whatever the outcome.
 * @param socket From wq_bt_ota_connect().
 * @param[out] message At least 128 bytes: left as it was on success, else why not.
 * @param language Non-zero: German messages.
 * @return 0 when the request was sent, else 1.
 */
int wq_bt_ota_reset(unsigned int socket, char *message, int language) WQ_NOEXCEPT;

/** @} */

/** @defgroup bt_battery Bluetooth battery and stagnation flush
 *  @{ */

/**
 * @brief Reads the battery level; takes at least 10 s.
 * @param address From wq_connect_to_bt_device().
 * @param[out] level The level byte the box sends; written on success only.
 * @param[out] message At least 128 bytes: empty on success, else why not.
 * @param language Non-zero: German messages.
 * @return 0 when the level arrived, else 1.
 */
int wq_bt_read_batt(BTH_ADDR address, int *level, char *message, int language) WQ_NOEXCEPT;

/**
 * @brief Asks the box to run a stagnation flush now; takes at least 1 s.
 * @param address From wq_connect_to_bt_device().
 * @param[out] message At least 128 bytes: empty on success; "User-initiated
 *   stagnation flush denied. Reason: in use." when the box is in use;
 *   else why not.
 * @param language Non-zero: German messages.
 * @return 0 when the box accepted, else 1.
 */
int wq_bt_force_flush(BTH_ADDR address, char *message, int language) WQ_NOEXCEPT;

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* WQ_H */
