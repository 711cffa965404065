/*
 * A C client of librs485 for the end-to-end tests, built against the public header alone.
 * Runs the steps given as arguments in order; each step prints one result line starting with
 * "@ " (library trace lines go to standard output too).
 *
 *   facade                       "@ facade null|set"
 *   open:C[:SNIFFER[:BAUD]]      "@ open C r"
 *   close:C                      "@ close C"
 *   port:C:MC:CTRL:TO:DELM:LAD:WAIT
 *                                "@ port C MC"
 *   compt:C:MASK                 "@ compt C r"
 *   frame:C:MC:KIND:LEN          "@ frame C MC r"
 *   put:C:MC:HEX                 "@ put C MC r" (HEX "" is an empty request)
 *   putnull:C:MC                 "@ putnull C MC r"
 *   start:C                      "@ start C r calls N"
 *   listen:C / unlisten:C        "@ listen C" / "@ unlisten C"
 *   table:C                      "@ table C ADDR" then "@ m M status S len L hex HEX" for 1..15
 *   recv:C:MC                    "@ recv C MC ADDR status S len L hex HEX" or "@ recv C MC null"
 *   ver                          "@ ver V status S"
 *   touch:PATH                   creates PATH, "@ touch PATH"
 *   wait:PATH                    waits up to 120 s for PATH, "@ wait PATH ok|timeout"
 */
#define _POSIX_C_SOURCE 200809L

#include <rs485.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int g_calls = 0;

static void on_cycle(void) {
    ++g_calls;
}

static void print_hex(const xfer_data* x) {
    unsigned short i;
    for (i = 0; i < x->len; ++i) {
        printf("%02X", x->data[i]);
    }
}

static void print_record(const xfer_data* x) {
    printf("status %u len %u hex ", (unsigned)x->status, (unsigned)x->len);
    print_hex(x);
    /* The bytes are followed by a 0 byte. */
    printf(" term %d\n", x->data[x->len] == 0 ? 1 : 0);
}

static int parse_hex(const char* text, unsigned char* out, size_t cap) {
    size_t n = strlen(text);
    size_t i;
    if (n % 2 != 0 || n / 2 > cap) {
        return -1;
    }
    for (i = 0; i < n; i += 2) {
        unsigned int byte;
        if (sscanf(text + i, "%2x", &byte) != 1) {
            return -1;
        }
        out[i / 2] = (unsigned char)byte;
    }
    return (int)(n / 2);
}

static int run_step(const char* step) {
    int a = 0, b = 0, c = 0, d = 0, e = 0, f = 0, g = 0, h = 0;
    char text[512];
    if (strcmp(step, "facade") == 0) {
        printf("@ facade %s\n", dw485if == NULL ? "null" : "set");
    } else if (sscanf(step, "open:%d:%d:%d", &a, &b, &c) == 3) {
        printf("@ open %d %d\n", a, pxa_rs485_open(a, b != 0, (unsigned char)c));
    } else if (sscanf(step, "open:%d:%d", &a, &b) == 2) {
        printf("@ open %d %d\n", a, pxa_rs485_open(a, b != 0, 3));
    } else if (sscanf(step, "open:%d", &a) == 1) {
        printf("@ open %d %d\n", a, pxa_rs485_open(a, false, 3));
    } else if (sscanf(step, "close:%d", &a) == 1) {
        pxa_rs485_close(a);
        printf("@ close %d\n", a);
    } else if (sscanf(step, "port:%d:%d:%d:%d:%d:%d:%d", &a, &b, &c, &d, &e, &f, &g) == 7) {
        pxa_rs485_setPortParams(a, b, (unsigned char)c, (short)d, (unsigned char)e,
                                (unsigned char)f, (unsigned char)g);
        printf("@ port %d %d\n", a, b);
    } else if (sscanf(step, "frame:%d:%d:%d:%d", &a, &b, &c, &d) == 4) {
        printf("@ frame %d %d %d\n", a, b, pxa_rs485_setReplyFraming(a, b, c, d));
    } else if (sscanf(step, "compt:%d:%d", &a, &b) == 2) {
        printf("@ compt %d %d\n", a, pxa_rs485_setComFlags(a, b));
    } else if (sscanf(step, "putnull:%d:%d", &a, &b) == 2) {
        printf("@ putnull %d %d %d\n", a, b, pxa_rs485_putOutputStream(a, b, NULL));
    } else if (sscanf(step, "put:%d:%d:%n", &a, &b, &h) == 2 && h > 0) {
        unsigned char bytes[200];
        xfer_data x;
        int n = parse_hex(step + h, bytes, sizeof bytes);
        if (n < 0) {
            return 0;
        }
        x.len = (unsigned short)n;
        x.status = 0;
        x.data = bytes;
        printf("@ put %d %d %d\n", a, b, pxa_rs485_putOutputStream(a, b, &x));
    } else if (sscanf(step, "start:%d", &a) == 1) {
        int r = pxa_rs485_startCom(a);
        printf("@ start %d %d calls %d\n", a, r, g_calls);
    } else if (sscanf(step, "listen:%d", &a) == 1) {
        pxa_rs485_addEventListener(a, on_cycle);
        printf("@ listen %d\n", a);
    } else if (sscanf(step, "unlisten:%d", &a) == 1) {
        pxa_rs485_removeEventListener(a);
        printf("@ unlisten %d\n", a);
    } else if (sscanf(step, "table:%d", &a) == 1) {
        xfer_data** table = (xfer_data**)pxa_rs485_getReceiveStream(a, 0);
        int m;
        if (table == NULL) {
            printf("@ table %d null\n", a);
            return 1;
        }
        printf("@ table %d %p\n", a, (void*)table);
        for (m = 0; m < RS485_MACHINE_COUNT; ++m) {
            printf("@ m %d ", m + 1);
            print_record(table[m]);
        }
    } else if (sscanf(step, "recv:%d:%d", &a, &b) == 2) {
        xfer_data* x = (xfer_data*)pxa_rs485_getReceiveStream(a, b);
        if (x == NULL) {
            printf("@ recv %d %d null\n", a, b);
        } else {
            printf("@ recv %d %d %p ", a, b, (void*)x);
            print_record(x);
        }
    } else if (strcmp(step, "ver") == 0) {
        pxa_rs485_putPortStatus(1);
        printf("@ ver %u status %d\n", (unsigned)pxa_rs485_verGet(), pxa_rs485_getPortStatus());
    } else if (sscanf(step, "touch:%511s", text) == 1) {
        FILE* file = fopen(text, "w");
        if (file != NULL) {
            fclose(file);
        }
        printf("@ touch %s\n", text);
    } else if (sscanf(step, "wait:%511s", text) == 1) {
        int i;
        struct timespec tick = {0, 10000000L};
        for (i = 0; i < 12000 && access(text, F_OK) != 0; ++i) {
            nanosleep(&tick, NULL);
        }
        printf("@ wait %s %s\n", text, access(text, F_OK) == 0 ? "ok" : "timeout");
    } else {
        return 0;
    }
    return 1;
}

int main(int argc, char** argv) {
    int i;
    setvbuf(stdout, NULL, _IOLBF, 0);
    for (i = 1; i < argc; ++i) {
        if (!run_step(argv[i])) {
            fprintf(stderr, "bad step: %s\n", argv[i]);
            return 2;
        }
    }
    printf("@ end\n");
    return 0;
}
