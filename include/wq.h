/*
 * wq.h - host interface of the wq library.
 *
 * The library talks to the controller of a sanitary dispensing fitting
 * ("the box") over a serial COM port or a Bluetooth RFCOMM link.
 *
 * Conventions shared by every operation:
 *  - The result is a status code: 0 success, 1 failure, unless an
 *    operation says otherwise.
 *  - `message` is a caller-owned buffer of at least 128 bytes that receives
 *    one zero-terminated Latin-1 message.
 *  - `language` non-zero selects German messages, zero English ones.
 *  - Serial operations take a COM port number (1..15) or the serial handle
 *    that wq_ota_open_port handed out (a 32-bit signed integer).
 *  - Bluetooth operations take the box's address (BTH_ADDR, from
 *    wq_connect_to_bt_device) or the socket of a kept connection
 *    (from wq_bt_ota_connect).
 * Every call blocks until its exchange, its waits and its time-outs are over.
 */
#ifndef WQ_H
#define WQ_H

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2bth.h> /* BTH_ADDR */
#else
/* The 48-bit Bluetooth radio address in the low bits of a 64-bit value. */
typedef unsigned long long BTH_ADDR;
#endif

#ifdef __cplusplus
#define WQ_NOEXCEPT noexcept
extern "C" {
#else
#define WQ_NOEXCEPT
#endif

/* ---- Serial link and box discovery ---------------------------------- */

/* Probes COM1..COM15 for a box. Returns the port number of the first box
 * that answered (its identification text, at most 64 bytes with the zero,
 * lands in `text`), or 0 when none did. `text` holds at least 64 bytes. */
int wq_connect_to_box(char *text) WQ_NOEXCEPT;

/* Closes a serial handle handed out by wq_ota_open_port. The first three
 * parameters are not read. Always returns 0. */
int wq_force_close_handle(int unused, char *unused_message, int unused_language,
                          int handle) WQ_NOEXCEPT;

/* ---- Serial settings ---------------------------------------------------- */

/* Reads the settings record (short 344-byte format when `short_format` is
 * non-zero, else the long 380-byte one) and returns its fields as texts.
 * Output sizes: 32, 32, 32, 64, 12, 6, 32, 32, 48, 32, 12 bytes; `text_8`
 * and `mode` are written for the long format only. */
int wq_read_settings(int port, char *text_1, char *text_2, char *text_3, char *text_4,
                     char *number, char *choice_number, char *text_5, char *text_6,
                     char *text_7, char *text_8, char *mode, char *message,
                     int short_format, int language) WQ_NOEXCEPT;

/* Writes the fields selected by `fields` (record mask bits); `choice` 0..4
 * is always applied, other values leave the choice fields out. */
int wq_write_settings(int port, const char *text_1, const char *text_2, const char *text_3,
                      const char *text_4, const char *number, const char *choice_number,
                      const char *text_5, const char *text_6, const char *text_7,
                      const char *text_8, char *message, unsigned int choice, int choice_byte,
                      int mode, int short_format, unsigned int fields,
                      int language) WQ_NOEXCEPT;

/* Asks the box to restore its default settings. */
int wq_default_settings(int port, char *message, int language) WQ_NOEXCEPT;

/* ---- Serial clock ------------------------------------------------------- */

/* Sets the box clock; `time` is truncated and its low 32 bits are sent.
 * On success the message buffer is left as it was. */
int wq_sync_time(int port, double time, char *message, int language) WQ_NOEXCEPT;

/* ---- Serial firmware update (call in this order) ------------------------ */

/* Opens the port and stores its serial handle in *handle (0 on failure). */
int wq_ota_open_port(int port, char *message, int language, int *handle) WQ_NOEXCEPT;
/* Requests the update and hands over two control values. */
int wq_ota_start(int unused, char *message, int language, int handle,
                 unsigned int control1, unsigned int control2) WQ_NOEXCEPT;
/* Waits until the box is ready for the image: up to 20 failed reads a second
 * apart (a box that keeps sending wrong replies ends it after 100 of them). */
int wq_ota_start_xmit(int unused, char *message, int language, int handle) WQ_NOEXCEPT;
/* Sends `length` bytes of `image` starting at `offset`. */
int wq_ota_xmit_data(int unused, char *message, int language, int handle,
                     const unsigned char *image, int length, unsigned int offset) WQ_NOEXCEPT;
/* Asks the box to verify the image; closes the port on every outcome. */
int wq_ota_confirm_done(int unused, char *message, int language, int handle) WQ_NOEXCEPT;

/* ---- Serial usage log (on a handle from wq_ota_open_port) --------------- */

/* Stores the number of log entries in *entry_count. */
int wq_use_data_req(int handle, unsigned int *entry_count, char *message,
                    int language) WQ_NOEXCEPT;
/* Fetches the next entry into eight outputs of 32, 16, 32, 8, 8, 8, 8 and
 * 40 bytes. Returns 0 (water/product entry), 1 (other entry or link
 * failure), 2 (empty slot) or 3 (product entry while product_mode != 1). */
int wq_use_data_fetch(int handle, int product_mode, int water_variant, char *entry_number,
                      char *water_value, char *usage_text, char *product_value_1,
                      char *product_value_2, char *water_value_2, char *water_value_3,
                      char *entry_key, char *message, int language) WQ_NOEXCEPT;
/* Tells the box the download is over; the port stays open. */
int wq_use_data_done(int handle, char *message, int language) WQ_NOEXCEPT;

/* ---- Value conversion --------------------------------------------------- */

/* The number at the start of the first min(length, cut) characters of
 * `text` (which need not be terminated); length and cut are 0..7. */
double wq_convert_flowrate_to_double(const char *text, int length, int cut) WQ_NOEXCEPT;

/* ---- Bluetooth discovery and connection --------------------------------- */

/* Lists the names of the known Bluetooth devices in 32-byte slots of
 * `list` (list_size bytes); *count receives the number stored. */
int wq_get_device_list(char *list, int list_size, unsigned int *count, char *message,
                       int language) WQ_NOEXCEPT;
/* Finds the box named `name`, runs the connect handshake and stores its
 * address in *address; `message` then holds the box's greeting text. */
int wq_connect_to_bt_device(BTH_ADDR *address, const char *name, char *message,
                            int language) WQ_NOEXCEPT;
/* Opens a kept connection for the firmware update and usage-log download. */
int wq_bt_ota_connect(BTH_ADDR address, unsigned int *socket, char *message,
                      int language) WQ_NOEXCEPT;
/* Closes a kept connection. Always returns 0. */
int wq_bt_ota_disconnect(unsigned int socket) WQ_NOEXCEPT;

/* ---- Bluetooth settings ------------------------------------------------- */

/* Writes the selected settings fields; `safe` selects the 384-byte safe
 * layout. `mode` 3 is address mode (address_1..3 instead of text_8). An
 * unanswered write request is sent again, 5 times at most (about 5.5 s). */
int wq_bt_write_settings(BTH_ADDR address, const char *text_1, const char *text_2,
                         const char *text_3, const char *text_4, const char *number,
                         const char *choice_number, const char *text_5, const char *text_6,
                         const char *text_7, const char *text_8, const char *address_1,
                         const char *address_2, const char *address_3, char *message,
                         unsigned int choice, unsigned char choice_byte, int mode,
                         unsigned int fields, int safe, int language) WQ_NOEXCEPT;
/* Reads the settings and returns their fields as texts (address outputs at
 * least 15 bytes, written without terminator). */
int wq_bt_read_settings(BTH_ADDR address, char *text_1, char *text_2, char *text_3,
                        char *text_4, char *number, char *choice_number, char *text_5,
                        char *text_6, char *text_7, char *text_8, char *mode, char *address_1,
                        char *address_2, char *address_3, char *message, int safe,
                        int language) WQ_NOEXCEPT;
/* Asks the box to restore its default settings. */
int wq_bt_default_settings(BTH_ADDR address, char *message, int language) WQ_NOEXCEPT;

/* ---- Bluetooth clock, identify, reset ----------------------------------- */

int wq_bt_sync_time(BTH_ADDR address, unsigned long long time, char *message,
                    int language) WQ_NOEXCEPT;
int wq_bt_identify(BTH_ADDR address, char *message, int language) WQ_NOEXCEPT;
int wq_bt_reset_device(BTH_ADDR address, char *message, int language) WQ_NOEXCEPT;

/* ---- Bluetooth usage settings ------------------------------------------- */

int wq_bt_get_usage_setting_cnt(BTH_ADDR address, unsigned int *count, char *message,
                                int language) WQ_NOEXCEPT;
/* Note the size order: buffer_size before data_size here ... `settings`
 * must hold buffer_size bytes: all of them are zero-filled before the
 * data_size bytes of the block are copied in (buffer_size >= data_size). */
int wq_bt_read_usage_settings(BTH_ADDR address, int buffer_size, int data_size,
                              void *settings, char *message, int language) WQ_NOEXCEPT;
/* ... and data_size before buffer_size here (buffer_size >= data_size + 4). */
int wq_bt_write_usage_settings(BTH_ADDR address, int data_size, int buffer_size,
                               const void *settings, char *message, int language) WQ_NOEXCEPT;

/* ---- Bluetooth usage log (on a socket from wq_bt_ota_connect) ----------- */

int wq_bt_use_data_req(unsigned int socket, unsigned int *entry_count, char *message,
                       int language) WQ_NOEXCEPT;
/* As wq_use_data_fetch; also returns 9 when the entry number is not all
 * digits. `repeat` non-zero asks the box to send the last entry again. */
int wq_bt_use_data_fetch(unsigned int socket, int product_mode, int water_variant,
                         char *entry_number, char *water_value, char *usage_text,
                         char *product_value_1, char *product_value_2, char *water_value_2,
                         char *water_value_3, char *entry_key, char *message, int repeat,
                         int language) WQ_NOEXCEPT;
/* Ends the download and closes the kept connection. */
int wq_bt_use_data_done(unsigned int socket, char *message, int language) WQ_NOEXCEPT;

/* ---- Bluetooth firmware update (on a socket from wq_bt_ota_connect) ----- */

int wq_bt_ota_start(unsigned int socket, unsigned int control1, unsigned int control2,
                    char *message, int language) WQ_NOEXCEPT;
int wq_bt_ota_start_xmit(unsigned int socket, char *message, int language) WQ_NOEXCEPT;
int wq_bt_ota_xmit_data(unsigned int socket, const char *image, int length,
                        unsigned int offset, char *message, int language) WQ_NOEXCEPT;
/* Asks the box to verify the image; the socket stays open. */
int wq_bt_ota_done(unsigned int socket, char *message, int language) WQ_NOEXCEPT;
/* Asks the box to restart and closes the kept connection. */
int wq_bt_ota_reset(unsigned int socket, char *message, int language) WQ_NOEXCEPT;

/* ---- Bluetooth battery and stagnation flush ----------------------------- */

/* Reads the battery level (takes at least 10 s). */
int wq_bt_read_batt(BTH_ADDR address, int *level, char *message, int language) WQ_NOEXCEPT;
/* Asks the box to run a stagnation flush now (takes at least 1 s). */
int wq_bt_force_flush(BTH_ADDR address, char *message, int language) WQ_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* WQ_H */
