/*
 * rs485_example - one application's typical use of librs485.
 *
 * Opens a channel, sets each machine's parameters and the polling mask, deposits one request
 * per machine, runs a number of communication cycles and prints every selected machine's reply
 * (hexadecimal and text) and status, then closes the channel. With -s it finally asks the
 * daemon to shut down.
 *
 * usage: rs485_example [-c channel] [-b baud_index] [-n cycles] [-s] MACHINE...
 *   MACHINE  mc:ctrl_bit:time_out:delm_type:len_after_delm:wait_time:request
 *            mc 1..15; request as hexadecimal byte pairs, "" for an empty request,
 *            "-" for none (the machine is polled with what its send buffer holds)
 *   example  rs485_example -n 2 1:3:100:13:0:0:3031 2:3:50:1:0:0:3032
 */
#define _POSIX_C_SOURCE 200809L

#include <rs485.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

void example_shutdown(void);

struct machine {
    int mc;
    int ctrl_bit;
    int time_out;
    int delm_type;
    int len_after_delm;
    int wait_time;
    int has_request;
    unsigned char request[RS485_MAX_REQUEST];
    unsigned short request_len;
};

static int g_listener_calls = 0;

static void on_cycle(void) {
    ++g_listener_calls;
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = (char)tolower((unsigned char)c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

static int parse_request(const char* text, struct machine* m) {
    size_t n = strlen(text);
    size_t i;
    if (strcmp(text, "-") == 0) {
        m->has_request = 0;
        return 1;
    }
    if (n % 2 != 0 || n / 2 > RS485_MAX_REQUEST) {
        return 0;
    }
    for (i = 0; i < n; i += 2) {
        int hi = hex_digit(text[i]);
        int lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return 0;
        }
        m->request[i / 2] = (unsigned char)(hi * 16 + lo);
    }
    m->request_len = (unsigned short)(n / 2);
    m->has_request = 1;
    return 1;
}

static int parse_machine(const char* arg, struct machine* m) {
    int used = 0;
    memset(m, 0, sizeof *m);
    if (sscanf(arg, "%d:%d:%d:%d:%d:%d:%n", &m->mc, &m->ctrl_bit, &m->time_out, &m->delm_type,
               &m->len_after_delm, &m->wait_time, &used) != 6 ||
        used == 0) {
        return 0;
    }
    if (m->mc < 1 || m->mc > RS485_MACHINE_COUNT) {
        return 0;
    }
    return parse_request(arg + used, m);
}

static const char* status_text(unsigned char status) {
    switch (status) {
        case RS485_STATUS_NOT_POLLED:
            return "not polled";
        case RS485_STATUS_SELECTED:
            return "selected";
        case RS485_STATUS_COMPLETE:
            return "reply complete";
        case RS485_STATUS_TIMEOUT:
            return "reply time-out";
        case RS485_STATUS_READ_ERROR:
            return "read error";
        default:
            return "unknown";
    }
}

static void print_reply(int mc, const xfer_data* x) {
    unsigned short i;
    printf("  machine %d: status %u (%s) len %u hex [", mc, (unsigned)x->status,
           status_text(x->status), (unsigned)x->len);
    for (i = 0; i < x->len; ++i) {
        printf(i == 0 ? "%02X" : " %02X", x->data[i]);
    }
    printf("] text \"");
    for (i = 0; i < x->len; ++i) {
        if (isprint(x->data[i]) && x->data[i] != '"' && x->data[i] != '\\') {
            putchar(x->data[i]);
        } else {
            printf("\\x%02X", x->data[i]);
        }
    }
    printf("\"\n");
}

static void usage(void) {
    fprintf(stderr,
            "usage: rs485_example [-c channel] [-b baud_index] [-n cycles] [-s] MACHINE...\n"
            "  MACHINE  mc:ctrl_bit:time_out:delm_type:len_after_delm:wait_time:request\n");
}

int main(int argc, char** argv) {
    int channel = 1;
    int baud = 3;
    int cycles = 3;
    int shutdown = 0;
    int opt;
    int count;
    int mask = 0;
    int i;
    int cycle;
    int r;
    struct machine machines[RS485_MACHINE_COUNT];
    xfer_data** table;

    while ((opt = getopt(argc, argv, "c:b:n:s")) != -1) {
        switch (opt) {
            case 'c':
                channel = atoi(optarg);
                break;
            case 'b':
                baud = atoi(optarg);
                break;
            case 'n':
                cycles = atoi(optarg);
                break;
            case 's':
                shutdown = 1;
                break;
            default:
                usage();
                return 2;
        }
    }
    count = argc - optind;
    if (count < 1 || count > RS485_MACHINE_COUNT || baud < 0 || baud > 255) {
        usage();
        return 2;
    }
    for (i = 0; i < count; ++i) {
        if (!parse_machine(argv[optind + i], &machines[i])) {
            fprintf(stderr, "bad machine: %s\n", argv[optind + i]);
            usage();
            return 2;
        }
        mask |= 1 << (machines[i].mc - 1);
    }

    /* Library trace lines also go to standard output; keep ours in order with them. */
    setvbuf(stdout, NULL, _IOLBF, 0);

    r = pxa_rs485_open(channel, false, (unsigned char)baud);
    printf("open channel %d: %d\n", channel, r);
    if (r != RS485_OPEN_OK && r != RS485_OPEN_ALREADY) {
        return 1;
    }
    pxa_rs485_addEventListener(channel, on_cycle);

    for (i = 0; i < count; ++i) {
        const struct machine* m = &machines[i];
        pxa_rs485_setPortParams(channel, m->mc, (unsigned char)m->ctrl_bit, (short)m->time_out,
                                (unsigned char)m->delm_type, (unsigned char)m->len_after_delm,
                                (unsigned char)m->wait_time);
    }
    printf("setComFlags 0x%04X: %d\n", (unsigned)mask, pxa_rs485_setComFlags(channel, mask));

    for (i = 0; i < count; ++i) {
        struct machine* m = &machines[i];
        xfer_data out;
        if (!m->has_request) {
            continue;
        }
        out.len = m->request_len;
        out.status = 0;
        out.data = m->request;
        printf("putOutputStream machine %d (%u bytes): %d\n", m->mc, (unsigned)out.len,
               pxa_rs485_putOutputStream(channel, m->mc, &out));
    }

    for (cycle = 1; cycle <= cycles; ++cycle) {
        printf("cycle %d: startCom %d\n", cycle, pxa_rs485_startCom(channel));
        table = (xfer_data**)pxa_rs485_getReceiveStream(channel, 0);
        if (table == NULL) {
            printf("  no receive table\n");
            continue;
        }
        for (i = 0; i < RS485_MACHINE_COUNT; ++i) {
            if (mask & (1 << i)) {
                print_reply(i + 1, table[i]);
            }
        }
    }
    printf("listener calls: %d\n", g_listener_calls);

    if (shutdown) {
        /* Sent on the channel's connection, so before the close that ends it. */
        example_shutdown();
        printf("shutdown sent\n");
    }
    pxa_rs485_close(channel);
    printf("closed channel %d\n", channel);
    return 0;
}
