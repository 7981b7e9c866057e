/*
 * Calls each of the 38 operations against the boxes scripts/test-windows
 * sets up (the ports below), one line per call: name, language, status,
 * message and outputs, never a handle or socket value; wq.dll under Wine and
 * libwq.so must print the same. Serial: the sequences, then one of each way
 * a line fails. Neither side has Bluetooth: those calls fail at the socket
 * layer. Not among them, a second open of a held port: Wine allows it.
 */
#include <stdio.h>
#include <string.h>

#include "wq.h"

/* slow: pauses 120 ms inside its settings and restore answers (within a read's 200 ms) */
enum { wrong_com = 1, silent_com = 2, good_com = 3, slow_com = 4, missing_com = 5 };
static const BTH_ADDR box_address = 0x0011223344AAull;

static char values[1024]; /* the outputs of the current call, as text */
static int handle;        /* the serial handle of a multi-call sequence */
static unsigned char image[1500];
static const unsigned int image_crc = 0xB849BFC6u; /* its CRC-32, as zlib computes it */

static void add(const char *text) {
    strncat(values, text, sizeof values - strlen(values) - 1);
    strncat(values, "|", sizeof values - strlen(values) - 1);
}

static void add_number(long long number) {
    char text[32];
    snprintf(text, sizeof text, "%lld", number);
    add(text);
}

/* One line of the transcript; the outputs are those add() collected. */
static void report(const char *name, int language, int status, const char *message) {
    printf("%s %s %d [%s] %s\n", name, language ? "de" : "en", status, message, values);
    fflush(stdout);
    values[0] = '\0';
}

/* A message buffer as each call gets it: what a call leaves alone shows. */
static char *fresh(char *message) {
    strcpy(message, "untouched");
    return message;
}

/* ---- serial ---------------------------------------------------------------- */

static int probe(int port, char *m, int l) {
    char text[64] = "";
    int found = wq_connect_to_box(text);
    add(text);
    return found;
}

static int read_settings(int port, char *m, int l) {
    char t[11][64] = {""}; /* text_1..text_4, number, choice number, text_5..text_8, mode */
    int status = wq_read_settings(port, t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8], t[9], t[10], m, 0, l);
    for (int i = 0; i < 11; ++i) add(t[i]);
    return status;
}

static int write_settings(int port, char *m, int l) {
    /* UTF-8 from the host, sent as Latin-1 */
    return wq_write_settings(port, "K\xC3\xBC" "che", "Flur", "C", "D", "120", "7", "E", "F", "G",
                             "H", m, 2, 1, 0, 0, 0xFFFFFFFFu, l);
}

static int defaults(int port, char *m, int l) { return wq_default_settings(port, m, l); }
static int set_clock(int port, char *m, int l) { return wq_sync_time(port, 1.7e9, m, l); }

static int open_port(int port, char *m, int l) {
    handle = 0;
    int status = wq_ota_open_port(port, m, l, &handle);
    add_number(handle != 0);
    return status;
}

static int ota_start(int port, char *m, int l) {
    return wq_ota_start(0, m, l, handle, sizeof image, image_crc);
}
static int ota_start_xmit(int port, char *m, int l) { return wq_ota_start_xmit(0, m, l, handle); }
static int ota_send_image(int port, char *m, int l) {
    int status = wq_ota_xmit_data(0, m, l, handle, image, 512, 0);
    if (status == 0) status = wq_ota_xmit_data(0, m, l, handle, image, sizeof image - 512, 512);
    return status;
}
static int ota_done(int port, char *m, int l) { return wq_ota_confirm_done(0, m, l, handle); }

static int usage_count(int port, char *m, int l) {
    unsigned int count = 0;
    int status = wq_use_data_req(handle, &count, m, l);
    add_number(count);
    return status;
}
static int usage_fetch(int port, char *m, int l) {
    char f[8][40] = {""}; /* entry, water, usage, product 1 and 2, water 2 and 3, key */
    int status = wq_use_data_fetch(handle, 1, 0, f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], m, l);
    for (int i = 0; i < 8; ++i) add(f[i]);
    return status;
}
static int usage_done(int port, char *m, int l) { return wq_use_data_done(handle, m, l); }
static int close_port(int port, char *m, int l) { return wq_force_close_handle(0, m, l, handle); }

static int flowrate(int port, char *m, int l) {
    add_number((long long)(wq_convert_flowrate_to_double("12.5 l", 6, 4) * 100));
    return 0;
}

struct call {
    const char *name;
    int (*run)(int port, char *message, int language);
    int port;
};

/* The calls after an open work on the handle it handed out. */
static const struct call calls[] = {
    {"probe", probe, 0}, {"read", read_settings, good_com}, {"write", write_settings, good_com},
    {"read-back", read_settings, good_com}, {"defaults", defaults, good_com},
    {"clock", set_clock, good_com}, {"flowrate", flowrate, 0},
    {"log-open", open_port, good_com}, {"log-count", usage_count, 0},
    {"log-fetch", usage_fetch, 0}, {"log-fetch", usage_fetch, 0}, {"log-done", usage_done, 0},
    {"log-close", close_port, 0},
    {"ota-open", open_port, good_com}, {"ota-start", ota_start, 0},
    {"ota-start-xmit", ota_start_xmit, 0}, {"ota-data", ota_send_image, 0},
    {"ota-done", ota_done, 0},
    {"slow-read", read_settings, slow_com}, {"slow-defaults", defaults, slow_com},
    {"missing-read", read_settings, missing_com}, {"missing-open", open_port, missing_com},
    {"silent-read", read_settings, silent_com}, {"silent-open", open_port, silent_com},
    {"silent-log-count", usage_count, 0}, {"silent-ota-done", ota_done, 0},
    {"wrong-write", write_settings, wrong_com}, {"wrong-open", open_port, wrong_com},
    {"wrong-ota-start", ota_start, 0}, {"wrong-ota-done", ota_done, 0},
};

/* ---- Bluetooth: none under Wine, none without WQ_BT_DIR on Linux ---------- */

static void bluetooth_calls(int l) {
    char m[256], list[256], t[11][64], a[3][16], f[8][40], block[16];
    const char no_address[16] = ""; /* as much as the library reads of one */
    unsigned int count, socket = 0;
    BTH_ADDR address;
    int level;
    report("bt-list", l, wq_get_device_list(list, sizeof list, &count, fresh(m), l), m);
    report("bt-find", l, wq_connect_to_bt_device(&address, "WQ Box", fresh(m), l), m);
    report("bt-read", l, wq_bt_read_settings(box_address, t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7],
                                             t[8], t[9], t[10], a[0], a[1], a[2], fresh(m), 0, l), m);
    report("bt-write", l, wq_bt_write_settings(box_address, "A", "B", "C", "D", "1", "0", "E", "F", "G", "H",
                                               no_address, no_address, no_address, fresh(m), 7, 0, 0, 1, 0,
                                               l), m);
    report("bt-defaults", l, wq_bt_default_settings(box_address, fresh(m), l), m);
    report("bt-clock", l, wq_bt_sync_time(box_address, 1700000000u, fresh(m), l), m);
    report("bt-identify", l, wq_bt_identify(box_address, fresh(m), l), m);
    report("bt-reset", l, wq_bt_reset_device(box_address, fresh(m), l), m);
    report("bt-flush", l, wq_bt_force_flush(box_address, fresh(m), l), m);
    report("bt-battery", l, wq_bt_read_batt(box_address, &level, fresh(m), l), m);
    report("bt-block-size", l, wq_bt_get_usage_setting_cnt(box_address, &count, fresh(m), l), m);
    report("bt-block-read", l, wq_bt_read_usage_settings(box_address, sizeof block, 8, block, fresh(m), l), m);
    report("bt-block-write", l, wq_bt_write_usage_settings(box_address, 8, 12, "12345678", fresh(m), l), m);
    /* The calls on a kept connection get the socket value a failed connect leaves. */
    report("bt-connect", l, wq_bt_ota_connect(box_address, &socket, fresh(m), l), m);
    report("bt-log-count", l, wq_bt_use_data_req(socket, &count, fresh(m), l), m);
    report("bt-log-fetch", l, wq_bt_use_data_fetch(socket, 1, 0, f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7],
                                                   fresh(m), 0, l), m);
    report("bt-log-done", l, wq_bt_use_data_done(socket, fresh(m), l), m);
    report("bt-ota-start", l, wq_bt_ota_start(socket, sizeof image, image_crc, fresh(m), l), m);
    report("bt-ota-start-xmit", l, wq_bt_ota_start_xmit(socket, fresh(m), l), m);
    report("bt-ota-data", l, wq_bt_ota_xmit_data(socket, (const char *)image, 1024, 0, fresh(m), l), m);
    report("bt-ota-done", l, wq_bt_ota_done(socket, fresh(m), l), m);
    report("bt-ota-reset", l, wq_bt_ota_reset(socket, fresh(m), l), m);
    report("bt-disconnect", l, wq_bt_ota_disconnect(socket), "");
}

int main(void) {
    for (size_t i = 0; i < sizeof image; ++i) image[i] = (unsigned char)(i * 7 + 3);
    for (int language = 0; language <= 1; ++language) {
        for (size_t i = 0; i < sizeof calls / sizeof *calls; ++i) {
            char message[256];
            int status = calls[i].run(calls[i].port, fresh(message), language);
            report(calls[i].name, language, status, message);
        }
        bluetooth_calls(language);
    }
    return 0;
}
