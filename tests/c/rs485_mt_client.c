/*
 * A multi-threaded C client of librs485 for the end-to-end tests, built against the public
 * header alone. Each step prints one result line starting with "@ ".
 *
 *   cycles:N      channels 1 and 2 cycle N times on a thread each (machine 1, as set up by
 *                 the test) while a third thread adds and removes their listeners:
 *                 "@ cycles C ok K" for C = 1, 2 (K successful cycles)
 *   closewait:C:PATH
 *                 a thread opens C, selects machine 2 (mute, long time-out) and waits in a
 *                 cycle; once PATH exists the main thread closes C:
 *                 "@ closewait C start R"
 *   readclose:C:PATH
 *                 opens C ("@ readclose C open R"); a thread reads C's table while another
 *                 process holds C's receive lock; once PATH exists the main thread closes C:
 *                 "@ readclose C table set|null"
 */
#define _POSIX_C_SOURCE 200809L

#include <rs485.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static int g_calls = 0;
static int g_running = 0;

static void on_cycle(void) {
    pthread_mutex_lock(&g_lock);
    ++g_calls;
    pthread_mutex_unlock(&g_lock);
}

struct job {
    int channel;
    int cycles;
    int ok;
};

static void* cycle_channel(void* arg) {
    struct job* j = (struct job*)arg;
    unsigned char request[2] = {1, 1};
    xfer_data x;
    int i;
    x.len = 2;
    x.status = 0;
    x.data = request;
    if (pxa_rs485_open(j->channel, false, 3) == 0) {
        pxa_rs485_setPortParams(j->channel, 1, 3, 500, 13, 0, 0);
        pxa_rs485_setComFlags(j->channel, 1);
        pxa_rs485_putOutputStream(j->channel, 1, &x);
        for (i = 0; i < j->cycles; ++i) {
            xfer_data** table;
            j->ok += pxa_rs485_startCom(j->channel);
            table = (xfer_data**)pxa_rs485_getReceiveStream(j->channel, 0);
            if (table == NULL || table[0]->data[table[0]->len] != 0) {
                j->ok = -1000;
            }
        }
        pxa_rs485_close(j->channel);
    }
    pthread_mutex_lock(&g_lock);
    --g_running;
    pthread_mutex_unlock(&g_lock);
    return NULL;
}

static void* churn_listeners(void* arg) {
    int running = 1;
    (void)arg;
    while (running) {
        pxa_rs485_addEventListener(1, on_cycle);
        pxa_rs485_addEventListener(2, on_cycle);
        pxa_rs485_removeEventListener(1);
        pxa_rs485_addEventListener(2, NULL);
        pthread_mutex_lock(&g_lock);
        running = g_running > 0;
        pthread_mutex_unlock(&g_lock);
    }
    return NULL;
}

static void run_cycles(int n) {
    struct job jobs[2];
    pthread_t threads[3];
    int i;
    g_running = 2;
    for (i = 0; i < 2; ++i) {
        jobs[i].channel = i + 1;
        jobs[i].cycles = n;
        jobs[i].ok = 0;
        pthread_create(&threads[i], NULL, cycle_channel, &jobs[i]);
    }
    pthread_create(&threads[2], NULL, churn_listeners, NULL);
    for (i = 0; i < 3; ++i) {
        pthread_join(threads[i], NULL);
    }
    for (i = 0; i < 2; ++i) {
        printf("@ cycles %d ok %d\n", jobs[i].channel, jobs[i].ok);
    }
}

static void* wait_in_cycle(void* arg) {
    struct job* j = (struct job*)arg;
    if (pxa_rs485_open(j->channel, false, 3) == 0) {
        pxa_rs485_setPortParams(j->channel, 2, 3, 30000, 13, 0, 0);
        pxa_rs485_setComFlags(j->channel, 2);
        pxa_rs485_addEventListener(j->channel, on_cycle);
        j->ok = pxa_rs485_startCom(j->channel);
    }
    return NULL;
}

static void* read_table(void* arg) {
    struct job* j = (struct job*)arg;
    j->ok = pxa_rs485_getReceiveStream(j->channel, 0) != NULL;
    return NULL;
}

/* Runs fn on a thread, then closes channel once path exists (waiting up to 120 s). */
static void close_behind(struct job* j, void* (*fn)(void*), const char* path) {
    pthread_t thread;
    struct timespec tick = {0, 10000000L};
    int i;
    pthread_create(&thread, NULL, fn, j);
    for (i = 0; i < 12000 && access(path, F_OK) != 0; ++i) {
        nanosleep(&tick, NULL);
    }
    pxa_rs485_close(j->channel);
    pthread_join(thread, NULL);
}

static void run_closewait(int channel, const char* path) {
    struct job j;
    j.channel = channel;
    j.cycles = 1;
    j.ok = -1;
    close_behind(&j, wait_in_cycle, path);
    printf("@ closewait %d start %d calls %d\n", channel, j.ok, g_calls);
}

static void run_readclose(int channel, const char* path) {
    struct job j;
    j.channel = channel;
    j.cycles = 0;
    j.ok = -1;
    printf("@ readclose %d open %d\n", channel, pxa_rs485_open(channel, false, 3));
    close_behind(&j, read_table, path);
    printf("@ readclose %d table %s\n", channel, j.ok == 1 ? "set" : "null");
}

int main(int argc, char** argv) {
    int i;
    setvbuf(stdout, NULL, _IOLBF, 0);
    for (i = 1; i < argc; ++i) {
        int a = 0, b = 0;
        if (sscanf(argv[i], "cycles:%d", &a) == 1) {
            run_cycles(a);
        } else if (sscanf(argv[i], "closewait:%d:%n", &a, &b) == 1 && b > 0) {
            run_closewait(a, argv[i] + b);
        } else if (sscanf(argv[i], "readclose:%d:%n", &a, &b) == 1 && b > 0) {
            run_readclose(a, argv[i] + b);
        } else {
            fprintf(stderr, "bad step: %s\n", argv[i]);
            return 2;
        }
    }
    printf("@ end\n");
    return 0;
}
