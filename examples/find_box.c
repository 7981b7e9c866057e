/* find_box: finds a box on COM1..COM15 and prints its settings.
 *
 *   find_box            probe every port, then read the box that answered
 *   find_box --german   the same, with the library's messages in German
 */
#include <stdio.h>
#include <string.h>

#include "wq.h"

int main(int argc, char **argv) {
    const int german = argc > 1 && strcmp(argv[1], "--german") == 0;

    char identification[64] = "";
    const int port = wq_connect_to_box(identification);
    if (port == 0) {
        /* The text holds the last probe error, if any port opened. */
        fprintf(stderr, "no box answered on COM1 to COM15 %s\n", identification);
        return 1;
    }
    printf("box on COM%d: %s\n", port, identification);

    /* Each output at the size the header names; the long (380-byte)
     * record fills all of them. */
    char text_1[32], text_2[32], text_3[32], text_4[64], number[12], choice_number[6];
    char text_5[32], text_6[32], text_7[48], text_8[32], mode[12];
    char message[128];
    const int status = wq_read_settings(port, text_1, text_2, text_3, text_4, number, choice_number,
                                        text_5, text_6, text_7, text_8, mode, message,
                                        0 /* long format */, german);
    if (status != 0) {
        fprintf(stderr, "wq_read_settings: %s\n", message);
        return 1;
    }
    /* The texts are Latin-1 bytes, as the box stores them. */
    printf("text_1 %s\ntext_2 %s\ntext_3 %s\ntext_4 %s\ntext_5 %s\ntext_6 %s\ntext_7 %s\n"
           "text_8 %s\nnumber %s\nchoice_number %s\nmode %s\n%s\n",
           text_1, text_2, text_3, text_4, text_5, text_6, text_7, text_8, number, choice_number,
           mode, message);
    return 0;
}
