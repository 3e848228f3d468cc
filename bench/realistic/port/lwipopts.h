/* lwIP options of the bench application: a single-threaded (NO_SYS) IPv4 and IPv6
 * stack with DHCP, DNS, SNTP, mDNS, an MQTT client over TLS (mbed TLS through
 * altcp), the HTTP client and the HTTP server for the device's own pages. */
#ifndef BENCH_LWIPOPTS_H
#define BENCH_LWIPOPTS_H

#define NO_SYS 1
#define SYS_LIGHTWEIGHT_PROT 1
#define LWIP_SOCKET 0
#define LWIP_NETCONN 0

#define LWIP_IPV4 1
#define LWIP_IPV6 1
#define LWIP_TCP 1
#define LWIP_UDP 1
#define LWIP_DHCP 1
#define LWIP_AUTOIP 1
#define LWIP_DNS 1
#define LWIP_IGMP 1
#define LWIP_NETIF_HOSTNAME 1
#define LWIP_NETIF_STATUS_CALLBACK 1
#define LWIP_NETIF_LINK_CALLBACK 1
#define LWIP_NUM_NETIF_CLIENT_DATA 1
#define LWIP_STATS 0

#define LWIP_ALTCP 1
#define LWIP_ALTCP_TLS 1
#define LWIP_ALTCP_TLS_MBEDTLS 1
#define LWIP_MDNS_RESPONDER 1
#define SNTP_SERVER_DNS 1
#define LWIP_HTTPD_CGI 1
#define LWIP_HTTPD_SSI 1
#define LWIP_HTTPD_SUPPORT_POST 1
void bench_set_time(unsigned long seconds);
#define SNTP_SET_SYSTEM_TIME(sec) bench_set_time(sec)

#define MEM_ALIGNMENT 4
#define MEM_SIZE (16 * 1024)
#define MEMP_NUM_SYS_TIMEOUT 16
#define PBUF_POOL_SIZE 16
#define TCP_MSS 1436
#define TCP_WND (4 * TCP_MSS)
#define TCP_SND_BUF (4 * TCP_MSS)

#endif
