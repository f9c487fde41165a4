/* A C11 program on the public header: opens HART<port> through libZelHartDriverInterface.so,
 * configures it as the configuration program does (secondary master, 4 retries), sends one identity
 * request (command 0 to polling address 0) and prints the tagged answer.
 *
 * Usage: interface_c_client <port>. Exit status 0 when the answer came, 1 otherwise (the reason on
 * standard error). The driver daemon and the transmitter are found through ZELHART_RUNTIME_DIR. */
#define _POSIX_C_SOURCE 200809L /* clock_gettime, nanosleep */

#include "zelhart/hart_api.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double Now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void Sleep5ms(void) {
    struct timespec ts = {0, 5000000L};
    nanosleep(&ts, NULL);
}

int main(int argc, char** argv) {
    if (argc != 2 || atoi(argv[1]) <= 0 || atoi(argv[1]) > 255) {
        fprintf(stderr, "usage: interface_c_client <port 1..255>\n");
        return 1;
    }
    char name[16];
    snprintf(name, sizeof(name), "HART%d", atoi(argv[1]));
    uint16_t index = 0xFFFF;
    int32_t rc = hart_open(name, &index);
    if (rc != HDRV_SUCCESS) {
        fprintf(stderr, "hart_open(%s): %d\n", name, (int)rc);
        return 1;
    }
    const HartConfig config = {0x00600000u, 0x00060004u};
    if ((rc = hart_configure(index, &config)) != HDRV_SUCCESS) {
        fprintf(stderr, "hart_configure: %d\n", (int)rc);
        return 1;
    }

    static const uint8_t frame[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 0x02};
    HartMessage request;
    memset(&request, 0, sizeof(request));
    memcpy(request.Data, frame, sizeof(frame));
    request.Length = (uint16_t)sizeof(frame);
    request.RequestTag = 0x0C11;
    if ((rc = hart_write(index, &request)) != HDRV_SUCCESS) {
        fprintf(stderr, "hart_write: %d\n", (int)rc);
        return 1;
    }

    HartMessage record;
    const double deadline = Now() + 10.0;
    while ((rc = hart_read(index, &record)) == HDRV_NO_MESSAGE && Now() < deadline) Sleep5ms();
    if (rc != HDRV_SUCCESS) {
        fprintf(stderr, "no record within 10 s: %d\n", (int)rc);
        return 1;
    }
    if (record.Status != HART_STATUS_SLAVE_REPLY || record.Error != HART_ERROR_NONE ||
        record.RequestTag != 0x0C11 || record.Length < 5 || record.Data[2] != 0) {
        fprintf(stderr, "not an answer to the request: Status %u Error %d Tag 0x%04X Length %u\n",
                (unsigned)record.Status, (int)record.Error, (unsigned)record.RequestTag, (unsigned)record.Length);
        return 1;
    }
    printf("answer:");
    for (unsigned i = 0; i < record.Length; ++i) printf(" %02x", (unsigned)record.Data[i]);
    printf("\n");
    if ((rc = hart_close(index)) != HDRV_SUCCESS) {
        fprintf(stderr, "hart_close: %d\n", (int)rc);
        return 1;
    }
    return 0;
}
