/* usage_log: downloads the usage log of a box over Bluetooth, found by its
 * name, and prints it as CSV.
 *
 *   usage_log [NAME]     NAME defaults to "WQ Box"
 */
#include <stdio.h>

#include "wq.h"

/* The eight outputs of a fetch, at the sizes the library fills. */
struct entry {
    char number[32], water[16], usage[32], product_1[8], product_2[8], water_2[8], water_3[8];
    char key[40];
};

/* Asked with product mode 0, a fetch returns 0 for a water entry and 3 for
 * a product entry, so the two are told apart. */
static const char *kind_of(int status) {
    switch (status) {
    case 0: return "water";
    case 1: return "other";
    case 2: return "empty";
    case 3: return "product";
    case 9: return "bad-number";
    default: return "unknown";
    }
}

/* The next entry's status, or -1 when the link failed: status 1 is also a
 * broken link, which is told apart by the usage text every entry has.
 * `repeat` asks the box for the last entry again. */
static int fetch(unsigned connection, int repeat, struct entry *e, char *message) {
    const int status = wq_bt_use_data_fetch(connection, 0 /* product mode */, 0 /* water variant */,
                                            e->number, e->water, e->usage, e->product_1,
                                            e->product_2, e->water_2, e->water_3, e->key, message,
                                            repeat, 0 /* English */);
    return status == 1 && e->usage[0] == '\0' ? -1 : status;
}

static int download(unsigned connection, char *message) {
    unsigned count = 0;
    if (wq_bt_use_data_req(connection, &count, message, 0) != 0) return 1;
    printf("entry,kind,usage,water_value,water_value_2,water_value_3,product_value_1,"
           "product_value_2,entry_key\n");
    for (unsigned i = 0; i < count; ++i) {
        struct entry e;
        int status = fetch(connection, 0, &e, message);
        if (status < 0) status = fetch(connection, 1, &e, message);  /* once more */
        if (status < 0) return 1;
        printf("%s,%s,%s,%s,%s,%s,%s,%s,%s\n", e.number, kind_of(status), e.usage, e.water,
               e.water_2, e.water_3, e.product_1, e.product_2, e.key);
    }
    fprintf(stderr, "%u entries\n", count);
    return 0;
}

int main(int argc, char **argv) {
    const char *name = argc > 1 ? argv[1] : "WQ Box";
    char message[128];

    BTH_ADDR address = 0;
    if (wq_connect_to_bt_device(&address, name, message, 0) != 0) {
        fprintf(stderr, "%s: %s\n", name, message);
        return 1;
    }
    unsigned connection = 0;
    if (wq_bt_ota_connect(address, &connection, message, 0) != 0) {
        fprintf(stderr, "connect: %s\n", message);
        return 1;
    }
    int failed = download(connection, message);
    if (failed) fprintf(stderr, "download: %s\n", message);
    /* Ends the download and closes the connection, after a failure too. */
    char end_message[128];
    if (wq_bt_use_data_done(connection, end_message, 0) != 0 && !failed) {
        fprintf(stderr, "end: %s\n", end_message);
        failed = 1;
    }
    return failed;
}
