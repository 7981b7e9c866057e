/*
 * Runs every serial operation and its main failure paths, and the Bluetooth
 * lookups and connects, against the boxes scripts/test-windows sets up (see
 * the ports below), printing one line per call: name, language, status,
 * message and outputs, never a handle or socket value. The script requires
 * wq.dll under Wine and libwq.so to print the same. A second open of a held
 * port is not among the calls: Wine opens a COM port twice without complaint.
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

/* ---- serial ---------------------------------------------------------------- */

static int probe(int port, char *m, int l) {
    char text[64] = "";
    int found = wq_connect_to_box(text);
    add(text);
    return found;
}

static int read_settings(int port, char *m, int l) {
    char t1[32] = "", t2[32] = "", t3[32] = "", t4[64] = "", number[12] = "", choice[6] = "",
         t5[32] = "", t6[32] = "", t7[48] = "", t8[32] = "", mode[12] = "";
    int status = wq_read_settings(port, t1, t2, t3, t4, number, choice, t5, t6, t7, t8, mode, m,
                                  0, l);
    const char *fields[] = {t1, t2, t3, t4, number, choice, t5, t6, t7, t8, mode};
    for (size_t i = 0; i < sizeof fields / sizeof *fields; ++i) add(fields[i]);
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
    char entry[32] = "", water[16] = "", usage[32] = "", p1[8] = "", p2[8] = "", w2[8] = "",
         w3[8] = "", key[40] = "";
    int status = wq_use_data_fetch(handle, 1, 0, entry, water, usage, p1, p2, w2, w3, key, m, l);
    const char *fields[] = {entry, water, usage, p1, p2, w2, w3, key};
    for (size_t i = 0; i < sizeof fields / sizeof *fields; ++i) add(fields[i]);
    return status;
}
static int usage_done(int port, char *m, int l) { return wq_use_data_done(handle, m, l); }
static int close_port(int port, char *m, int l) { return wq_force_close_handle(0, m, l, handle); }

static int flowrate(int port, char *m, int l) {
    add_number((long long)(wq_convert_flowrate_to_double("12.5 l", 6, 4) * 100));
    return 0;
}

/* ---- Bluetooth: no Bluetooth under Wine, none without WQ_BT_DIR on Linux ----
 * Every command opens its connection through the same steps, so one command
 * stands for all of them beside the device list and the two connects. */

static int bt_list(int port, char *m, int l) {
    char list[256] = "";
    unsigned int count = 0;
    int status = wq_get_device_list(list, sizeof list, &count, m, l);
    add_number(count);
    return status;
}
static int bt_connect(int port, char *m, int l) {
    BTH_ADDR address = 0;
    return wq_connect_to_bt_device(&address, "WQ Box", m, l);
}
static int bt_kept(int port, char *m, int l) {
    unsigned int socket = 0;
    return wq_bt_ota_connect(box_address, &socket, m, l);
}
static int bt_read(int port, char *m, int l) {
    char t[10][64], mode[12] = "", a[3][16];
    return wq_bt_read_settings(box_address, t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8],
                               t[9], mode, a[0], a[1], a[2], m, 0, l);
}
/* ---- the table -------------------------------------------------------------- */

struct call {
    const char *name;
    int (*run)(int port, char *message, int language); /* port: serial calls only */
    int port;
};

/* The calls after an open work on the handle it handed out. */
static const struct call calls[] = {
    {"probe", probe, 0}, {"read", read_settings, good_com}, {"write", write_settings, good_com},
    {"read-back", read_settings, good_com}, {"defaults", defaults, good_com},
    {"read-defaults", read_settings, good_com}, {"clock", set_clock, good_com},
    {"flowrate", flowrate, 0},
    {"log-open", open_port, good_com}, {"log-count", usage_count, 0},
    {"log-fetch", usage_fetch, 0}, {"log-fetch", usage_fetch, 0}, {"log-fetch", usage_fetch, 0},
    {"log-done", usage_done, 0}, {"log-close", close_port, 0},
    {"ota-open", open_port, good_com}, {"ota-start", ota_start, 0},
    {"ota-start-xmit", ota_start_xmit, 0}, {"ota-data", ota_send_image, 0},
    {"ota-done", ota_done, 0},
    {"slow-read", read_settings, slow_com}, {"slow-defaults", defaults, slow_com},
    {"missing-read", read_settings, missing_com}, {"missing-write", write_settings, missing_com},
    {"missing-clock", set_clock, missing_com}, {"missing-open", open_port, missing_com},
    {"silent-read", read_settings, silent_com}, {"silent-write", write_settings, silent_com},
    {"silent-defaults", defaults, silent_com}, {"silent-open", open_port, silent_com},
    {"silent-ota-start", ota_start, 0}, {"silent-log-count", usage_count, 0},
    {"silent-ota-done", ota_done, 0},
    {"wrong-write", write_settings, wrong_com}, {"wrong-defaults", defaults, wrong_com},
    {"wrong-open", open_port, wrong_com}, {"wrong-ota-start", ota_start, 0},
    {"wrong-ota-done", ota_done, 0},
    {"bt-list", bt_list, 0}, {"bt-connect", bt_connect, 0}, {"bt-kept", bt_kept, 0},
    {"bt-read", bt_read, 0},
};

int main(void) {
    for (size_t i = 0; i < sizeof image; ++i) image[i] = (unsigned char)(i * 7 + 3);
    for (int language = 0; language <= 1; ++language) {
        for (size_t i = 0; i < sizeof calls / sizeof *calls; ++i) {
            char message[256];
            strcpy(message, "untouched");
            values[0] = '\0';
            int status = calls[i].run(calls[i].port, message, language);
            printf("%s %s %d [%s] %s\n", calls[i].name, language ? "de" : "en", status, message,
                   values);
            fflush(stdout);
        }
    }
    return 0;
}
