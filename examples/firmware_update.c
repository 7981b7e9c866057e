/* firmware_update: sends a firmware image to the box on a serial port
 * through the five calls of the update, and reports the box's verdict.
 *
 *   firmware_update IMAGE [PORT]     PORT defaults to 1 (COM1)
 *
 * The box takes control value 1 as the image's length and control value 2
 * as its CRC-32 (zlib's), and accepts the image only when both match.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "wq.h"

/* One write of 512 bytes takes 89 ms at 57600 baud: within the 200 ms a
 * serial write may take, with room for a USB adapter's latency. */
#define CHUNK_SIZE 512

static uint32_t crc32_of(const unsigned char *bytes, long size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (long i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

static unsigned char *read_image(const char *path, long *size) {
    FILE *file = fopen(path, "rb");
    unsigned char *bytes = NULL;
    if (file && fseek(file, 0, SEEK_END) == 0 && (*size = ftell(file)) > 0 &&
        fseek(file, 0, SEEK_SET) == 0 && (bytes = malloc((size_t)*size)) != NULL &&
        fread(bytes, 1, (size_t)*size, file) != (size_t)*size) {
        free(bytes);
        bytes = NULL;
    }
    if (file) fclose(file);
    return bytes;
}

/* The steps on the open port; the caller closes the port when one fails
 * before wq_ota_confirm_done, which closes it itself. */
static int send_image(int handle, const unsigned char *image, long size, char *message,
                      int *closed) {
    if (wq_ota_start(0, message, 0, handle, (unsigned)size, crc32_of(image, size)) != 0) return 1;
    if (wq_ota_start_xmit(0, message, 0, handle) != 0) return 1;  /* the box gets ready: 1 s or more */
    for (long offset = 0; offset < size; offset += CHUNK_SIZE) {
        const int length = (int)(size - offset < CHUNK_SIZE ? size - offset : CHUNK_SIZE);
        if (wq_ota_xmit_data(0, message, 0, handle, image, length, (unsigned)offset) != 0) return 1;
        fprintf(stderr, "\r%ld of %ld bytes", offset + length, size);
    }
    fputc('\n', stderr);
    *closed = 1;
    return wq_ota_confirm_done(0, message, 0, handle);  /* the verdict */
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: firmware_update IMAGE [PORT]\n");
        return 2;
    }
    long size = 0;
    unsigned char *image = read_image(argv[1], &size);
    if (!image || size > 0xFFFFFFFFL) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        free(image);
        return 2;
    }
    const int port = argc > 2 ? atoi(argv[2]) : 1;

    char message[128];
    int handle = 0;
    if (wq_ota_open_port(port, message, 0, &handle) != 0) {
        fprintf(stderr, "COM%d: %s\n", port, message);
        free(image);
        return 1;
    }
    int closed = 0;
    const int status = send_image(handle, image, size, message, &closed);
    if (!closed) {
        char unused[128];
        wq_force_close_handle(0, unused, 0, handle);
    }
    free(image);
    if (status != 0) {
        fprintf(stderr, "update failed: %s\n", message);
        return 1;
    }
    printf("%s: %ld bytes verified by the box (%s)\n", argv[1], size, message);
    return 0;
}
