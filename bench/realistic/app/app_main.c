/* The bench application: a data logger that keeps its readings in SQLite, deflates
 * each batch with zlib and publishes it over MQTT on TLS (mbed TLS under lwIP's
 * altcp), with DHCP, SNTP, mDNS and a small web page on an Ethernet interface. It
 * is here so that the libraries are compiled and linked the way a product links
 * them; the image is flashed and compared, never run.
 *
 * APP_NEXT_BUILD makes the "next build": publish_batch() gains a check, so its
 * code grows and everything linked after it moves (see scripts/realistic-image.sh). */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "lwip/altcp_tls.h"
#include "lwip/apps/httpd.h"
#include "lwip/apps/mdns.h"
#include "lwip/apps/mqtt.h"
#include "lwip/apps/sntp.h"
#include "lwip/dhcp.h"
#include "lwip/etharp.h"
#include "lwip/ethip6.h"
#include "lwip/init.h"
#include "lwip/netif.h"
#include "lwip/pbuf.h"
#include "lwip/timeouts.h"
#include "mbedtls/sha256.h"
#include "netif/ethernet.h"
#include "sqlite3.h"
#include "zlib.h"

#define RNG_DATA_REG (*(volatile uint32_t*)0x3FF75144u) /* TRM: Random Number Generator */
#define CPU_HZ 160000000u

struct reading {
  uint32_t when;
  int32_t milli_celsius;
  uint16_t humidity_permille;
};

static struct netif eth;
static mqtt_client_t* mqtt;
static sqlite3* db;
static sqlite3_stmt* insert_stmt;
static unsigned char batch[4096];
static unsigned char deflated[4096];
static unsigned char frame_out[1536];
static volatile uint32_t frame_out_len; /* picked up by the MAC's transmit DMA */

/* Placeholder of the broker's CA; a product embeds its own. */
static const char broker_ca[] = "-----BEGIN CERTIFICATE-----\n"
                                "MIIBszCCAVmgAwIBAgIUSbpIJ0nDwUfJ0UOSYR3Ts0TmzQYwCgYIKoZIzj0EAwIw\n"
                                "LzEtMCsGA1UEAwwkcXVvcnZleC1iZW5jaCBicm9rZXIgZXhhbXBsZSBhdXRob3Jp\n"
                                "-----END CERTIFICATE-----\n";

int mbedtls_hardware_poll(void* data, unsigned char* output, size_t len, size_t* olen) {
  (void)data;
  for (size_t i = 0; i < len; i += 4) {
    uint32_t r = RNG_DATA_REG;
    size_t n = len - i < 4 ? len - i : 4;
    memcpy(output + i, &r, n);
  }
  *olen = len;
  return 0;
}

/* Milliseconds from the cycle counter, which wraps every 26.8 s at 160 MHz: the
 * counter's advance is added up, so the clock keeps going as long as it is read at
 * least that often (the main loop does). */
u32_t sys_now(void) {
  static uint32_t last_cycles, ms, cycles_left;
  uint32_t c;
  __asm__ volatile("rsr %0, ccount" : "=a"(c));
  cycles_left += c - last_cycles;
  last_cycles = c;
  ms += cycles_left / (CPU_HZ / 1000u);
  cycles_left %= CPU_HZ / 1000u;
  return ms;
}

sys_prot_t sys_arch_protect(void) {
  sys_prot_t old;
  __asm__ volatile("rsil %0, 15" : "=a"(old)::"memory");
  return old;
}

void sys_arch_unprotect(sys_prot_t old) {
  __asm__ volatile("wsr %0, ps; rsync" ::"a"(old) : "memory");
}

/* SQLite's operating-system layer: this board has no file system, so the
 * application registers no VFS and keeps nothing across resets. */
int sqlite3_os_init(void) {
  return SQLITE_OK;
}
int sqlite3_os_end(void) {
  return SQLITE_OK;
}

static err_t eth_output(struct netif* netif, struct pbuf* p) {
  (void)netif;
  if (p->tot_len > sizeof frame_out) return ERR_BUF;
  while (frame_out_len != 0) {
  }
  pbuf_copy_partial(p, frame_out, p->tot_len, 0);
  frame_out_len = p->tot_len;
  return ERR_OK;
}

static err_t eth_init(struct netif* netif) {
  static const u8_t mac[6] = {0x24, 0x0A, 0xC4, 0x00, 0x00, 0x01};
  netif->name[0] = 'e';
  netif->name[1] = 'n';
  netif->output = etharp_output;
  netif->output_ip6 = ethip6_output;
  netif->linkoutput = eth_output;
  netif->mtu = 1500;
  netif->hwaddr_len = 6;
  memcpy(netif->hwaddr, mac, 6);
  netif->flags = NETIF_FLAG_BROADCAST | NETIF_FLAG_ETHARP | NETIF_FLAG_ETHERNET | NETIF_FLAG_IGMP |
                 NETIF_FLAG_MLD6;
  netif_set_hostname(netif, "bench-logger");
  return ERR_OK;
}

/* Called by the MAC's receive interrupt with one frame. */
void eth_frame_received(const void* frame, u16_t len) {
  struct pbuf* p = pbuf_alloc(PBUF_RAW, len, PBUF_POOL);
  if (!p) return;
  pbuf_take(p, frame, len);
  if (eth.input(p, &eth) != ERR_OK) pbuf_free(p);
}

static int store_reading(const struct reading* r) {
  sqlite3_bind_int64(insert_stmt, 1, r->when);
  sqlite3_bind_int(insert_stmt, 2, r->milli_celsius);
  sqlite3_bind_int(insert_stmt, 3, r->humidity_permille);
  int rc = sqlite3_step(insert_stmt);
  sqlite3_reset(insert_stmt);
  return rc == SQLITE_DONE ? 0 : -1;
}

/* Formats the readings since `since` as CSV lines into batch; returns the length. */
static size_t collect_batch(uint32_t since) {
  sqlite3_stmt* q;
  size_t used = 0;
  if (sqlite3_prepare_v2(db, "SELECT t, temp, hum FROM readings WHERE t > ?1 ORDER BY t", -1, &q,
                         NULL) != SQLITE_OK)
    return 0;
  sqlite3_bind_int64(q, 1, since);
  while (sqlite3_step(q) == SQLITE_ROW && used + 48 < sizeof batch) {
    used += (size_t)snprintf((char*)batch + used, sizeof batch - used, "%lld,%d,%d\n",
                             sqlite3_column_int64(q, 0), sqlite3_column_int(q, 1),
                             sqlite3_column_int(q, 2));
  }
  sqlite3_finalize(q);
  return used;
}

static void published(void* arg, err_t err) {
  (void)arg;
  if (err != ERR_OK) printf("publish failed: %d\n", err);
}

/* The function the next build changes. */
static int publish_batch(uint32_t since) {
  size_t n = collect_batch(since);
#ifdef APP_NEXT_BUILD
  if (n == 0 || !mqtt_client_is_connected(mqtt)) return 0;
#endif
  z_stream z;
  memset(&z, 0, sizeof z);
  if (deflateInit2(&z, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return -1;
  z.next_in = batch;
  z.avail_in = (uInt)n;
  z.next_out = deflated;
  z.avail_out = sizeof deflated;
  int rc = deflate(&z, Z_FINISH);
  size_t out = sizeof deflated - z.avail_out;
  deflateEnd(&z);
  if (rc != Z_STREAM_END) return -1;

  unsigned char digest[32];
  char topic[64];
  mbedtls_sha256_ret(deflated, out, digest, 0);
  snprintf(topic, sizeof topic, "logger/%02x%02x%02x%02x/batch", digest[0], digest[1], digest[2],
           digest[3]);
  return mqtt_publish(mqtt, topic, deflated, (u16_t)out, 1, 0, published, NULL) == ERR_OK ? 0 : -1;
}

/* ---- the device's web page: current values (SSI), a reset link (CGI), a settings form (POST) ----
 */

static const char* ssi_tags[] = {"temp", "count"}; /* the server takes them non-const */
static int32_t last_milli_celsius;
static char post_interval[8];

static u16_t ssi_value(int index, char* insert, int len) {
  if (index == 0)
    return (u16_t)snprintf(insert, (size_t)len, "%ld.%03ld", (long)(last_milli_celsius / 1000),
                           (long)(last_milli_celsius % 1000));
  return (u16_t)snprintf(insert, (size_t)len, "%d", sqlite3_total_changes(db));
}

static const char* cgi_clear(int index, int count, char* names[], char* values[]) {
  (void)index, (void)count, (void)names, (void)values;
  sqlite3_exec(db, "DELETE FROM readings", NULL, NULL, NULL);
  return "/index.html";
}

static const tCGI cgis[] = {{"/clear.cgi", cgi_clear}};

err_t httpd_post_begin(void* connection, const char* uri, const char* request, u16_t request_len,
                       int content_len, char* response_uri, u16_t response_uri_len,
                       u8_t* post_auto_wnd) {
  (void)connection, (void)request, (void)request_len, (void)response_uri, (void)response_uri_len;
  *post_auto_wnd = 1;
  return strcmp(uri, "/settings") == 0 && content_len < 64 ? ERR_OK : ERR_VAL;
}

err_t httpd_post_receive_data(void* connection, struct pbuf* p) {
  (void)connection;
  u16_t at = pbuf_memfind(p, "interval=", 9, 0);
  if (at != 0xFFFF) {
    u16_t n = pbuf_copy_partial(p, post_interval, sizeof post_interval - 1, (u16_t)(at + 9));
    post_interval[n] = 0;
  }
  pbuf_free(p);
  return ERR_OK;
}

void httpd_post_finished(void* connection, char* response_uri, u16_t response_uri_len) {
  (void)connection;
  snprintf(response_uri, response_uri_len, "/index.html");
}

static void mqtt_status(mqtt_client_t* client, void* arg, mqtt_connection_status_t status) {
  (void)client;
  (void)arg;
  printf("mqtt: %d\n", (int)status);
}

static void connect_broker(void) {
  static struct mqtt_connect_client_info_t info;
  ip_addr_t broker;
  info.client_id = "bench-logger";
  info.keep_alive = 60;
  info.tls_config = altcp_tls_create_config_client((const u8_t*)broker_ca, sizeof broker_ca);
  ipaddr_aton("192.168.1.10", &broker);
  mqtt = mqtt_client_new();
  if (mqtt) mqtt_client_connect(mqtt, &broker, 8883, mqtt_status, NULL, &info);
}

static int open_store(void) {
  if (sqlite3_open(":memory:", &db) != SQLITE_OK) return -1;
  sqlite3_exec(
      db, "CREATE TABLE IF NOT EXISTS readings(t INTEGER PRIMARY KEY, temp INTEGER, hum INTEGER)",
      NULL, NULL, NULL);
  return sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO readings VALUES(?1, ?2, ?3)", -1,
                            &insert_stmt, NULL) == SQLITE_OK
             ? 0
             : -1;
}

int app_main(void) {
  lwip_init();
  netif_add(&eth, IP4_ADDR_ANY4, IP4_ADDR_ANY4, IP4_ADDR_ANY4, NULL, eth_init, ethernet_input);
  netif_create_ip6_linklocal_address(&eth, 1);
  netif_set_default(&eth);
  netif_set_up(&eth);
  netif_set_link_up(&eth);
  dhcp_start(&eth);
  sntp_setoperatingmode(SNTP_OPMODE_POLL);
  sntp_setservername(0, "pool.ntp.org");
  sntp_init();
  mdns_resp_init();
  mdns_resp_add_netif(&eth, "bench-logger", 120);
  httpd_init();
  http_set_ssi_handler(ssi_value, ssi_tags, 2);
  http_set_cgi_handlers(cgis, 1);
  if (open_store() != 0) printf("store: %s\n", sqlite3_errmsg(db));
  connect_broker();

  uint32_t last_sample = 0, last_publish = 0;
  for (;;) {
    sys_check_timeouts();
    uint32_t now = sys_now();
    if (now - last_sample >= 1000u) {
      struct reading r = {now / 1000u, 21500 + (int32_t)(RNG_DATA_REG % 200u), 450};
      store_reading(&r);
      last_milli_celsius = r.milli_celsius;
      last_sample = now;
    }
    if (now - last_publish >= 60000u && publish_batch(last_publish / 1000u) == 0)
      last_publish = now;
  }
}
