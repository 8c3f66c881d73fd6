/* The smallest useful libpcap program, the anchor of bench/report's ping figures: it answers ARP
 * requests and ICMP echo requests for one address and does nothing else. Same capture settings
 * as tarnet's adapter (promiscuous, immediate mode, inbound only, non-blocking, poll on the
 * selectable descriptor), one pcap_sendpacket per reply.
 *
 *   pcap_responder IFACE IPV4 MAC        (runs until SIGTERM or SIGINT)
 */
#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static volatile sig_atomic_t stop;
static pcap_t* handle;
static uint8_t ourMac[6];
static uint8_t ourIp[4];

static void OnSignal(int s) {
    (void)s;
    stop = 1;
}

static uint16_t Checksum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2) {
        sum += (uint32_t)(p[i] << 8 | p[i + 1]);
    }
    if (n & 1) {
        sum += (uint32_t)(p[n - 1] << 8);
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return (uint16_t)~sum;
}

static void Arp(const uint8_t* f, uint32_t len) {
    /* Ethernet/IPv4 request (oper 1) for our address */
    if (len < 42 || f[14] != 0 || f[15] != 1 || f[16] != 8 || f[17] != 0 || f[21] != 1 ||
        memcmp(f + 38, ourIp, 4) != 0) {
        return;
    }
    uint8_t r[42];
    memcpy(r, f + 6, 6);
    memcpy(r + 6, ourMac, 6);
    memcpy(r + 12, f + 12, 8);
    r[21] = 2;
    memcpy(r + 22, ourMac, 6);
    memcpy(r + 28, ourIp, 4);
    memcpy(r + 32, f + 22, 10);
    pcap_sendpacket(handle, r, sizeof r);
}

static void Echo(const uint8_t* f, uint32_t len) {
    static uint8_t r[65536];
    if (len < 34 || (f[14] >> 4) != 4 || f[23] != 1 || memcmp(f + 30, ourIp, 4) != 0 ||
        memcmp(f, ourMac, 6) != 0) {
        return;
    }
    const uint32_t ihl   = (uint32_t)(f[14] & 0x0F) * 4;
    const uint32_t total = (uint32_t)(f[16] << 8 | f[17]);
    if (ihl < 20 || total < ihl + 8 || 14 + total > len || f[14 + ihl] != 8) {
        return;
    }
    memcpy(r, f, 14 + total);
    memcpy(r, f + 6, 6);
    memcpy(r + 6, ourMac, 6);
    memcpy(r + 26, f + 30, 4);
    memcpy(r + 30, f + 26, 4);
    r[22]       = 64;
    r[24]       = 0;
    r[25]       = 0;
    uint16_t c  = Checksum(r + 14, ihl);
    r[24]       = (uint8_t)(c >> 8);
    r[25]       = (uint8_t)c;
    uint8_t* ic = r + 14 + ihl;
    ic[0]       = 0;
    ic[2]       = 0;
    ic[3]       = 0;
    c           = Checksum(ic, total - ihl);
    ic[2]       = (uint8_t)(c >> 8);
    ic[3]       = (uint8_t)c;
    pcap_sendpacket(handle, r, (int)(14 + total));
}

static void Frame(u_char* user, const struct pcap_pkthdr* h, const u_char* f) {
    (void)user;
    if (h->caplen < 14) {
        return;
    }
    if (f[12] == 0x08 && f[13] == 0x06) {
        Arp(f, h->caplen);
    } else if (f[12] == 0x08 && f[13] == 0x00) {
        Echo(f, h->caplen);
    }
}

int main(int argc, char** argv) {
    char err[PCAP_ERRBUF_SIZE];
    unsigned m[6];
    if (argc != 4 || inet_pton(AF_INET, argv[2], ourIp) != 1 ||
        sscanf(argv[3], "%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6) {
        fprintf(stderr, "usage: pcap_responder IFACE IPV4 MAC\n");
        return 2;
    }
    for (int i = 0; i < 6; ++i) {
        ourMac[i] = (uint8_t)m[i];
    }
    handle = pcap_create(argv[1], err);
    if (handle == NULL) {
        fprintf(stderr, "%s\n", err);
        return 1;
    }
    pcap_set_snaplen(handle, 65536);
    pcap_set_promisc(handle, 1);
    pcap_set_immediate_mode(handle, 1);
    pcap_set_buffer_size(handle, 32 * 1024 * 1024);
    pcap_set_timeout(handle, 1);
    if (pcap_activate(handle) < 0 || pcap_setdirection(handle, PCAP_D_IN) != 0 ||
        pcap_setnonblock(handle, 1, err) != 0) {
        fprintf(stderr, "cannot open %s: %s\n", argv[1], pcap_geterr(handle));
        return 1;
    }
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    struct pollfd p = {pcap_get_selectable_fd(handle), POLLIN, 0};
    printf("ready\n");
    fflush(stdout);
    while (!stop) {
        if (poll(&p, 1, 200) > 0) {
            pcap_dispatch(handle, 64, Frame, NULL);
        }
    }
    pcap_close(handle);
    return 0;
}
