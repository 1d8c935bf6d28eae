/*
 * zorvsock: the C API of libkvel, the user-space stack of the zorvnic FPGA network card.
 *
 * Every use of the card goes through one zorvsock_handle: acquire a fresh handle, turn
 * it into a UDP flow, a TCP connection or a listener with one configure, connect, listen
 * or accept call, drive it, release it. A handle is used by one thread at a time.
 *
 * Errors are negative errno values (-22 EINVAL, -92 ENOPROTOOPT, ...); 0 or a
 * non-negative value is success. IPv4 addresses are host-order 32-bit integers with the
 * first octet in bits 31..24; ports are host-order 16-bit integers; times are
 * nanoseconds of the card's clock.
 */
#ifndef ZORVSOCK_H
#define ZORVSOCK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZORVSOCK_API __attribute__((visibility("default")))

typedef struct zorvsock_handle zorvsock_handle;

/* Option ids of zorvsock_set_opt and zorvsock_get_opt; the comment gives the exact
 * value width in bytes that the length argument must hold. */
enum {
  ZORVSOCK_OPT_LOCAL_IP = 10,          /* 4, read only */
  ZORVSOCK_OPT_RX_BUFFER = 11,         /* 4, UDP ring size in 2 KiB units, 128..65536 */
  ZORVSOCK_OPT_TCP_REMOTE_IP = 256,    /* 4, read only */
  ZORVSOCK_OPT_TCP_REMOTE_PORT = 257,  /* 2, read only */
  ZORVSOCK_OPT_TCP_TX_MSS = 258,       /* 2, read only */
  ZORVSOCK_OPT_TCP_STATE = 259,        /* 4, read only */
  ZORVSOCK_OPT_UDP_REMOTE_IP = 512,    /* 4, read only */
  ZORVSOCK_OPT_UDP_REMOTE_PORT = 513,  /* 2, read only */
  ZORVSOCK_OPT_UDP_LAST_SRC_IP = 514,  /* 4, read only */
  ZORVSOCK_OPT_UDP_LAST_SRC_PORT = 515, /* 2, read only */
  ZORVSOCK_OPT_UDP_SESSION_FLAG = 516, /* 1 */
  ZORVSOCK_OPT_TTL = 768,              /* 1 */
  ZORVSOCK_OPT_MULTICAST_TTL = 769     /* 1 */
};

/* Handle and options. */
ZORVSOCK_API zorvsock_handle* zorvsock_acquire_handle(void);
ZORVSOCK_API void zorvsock_release_handle(zorvsock_handle* h);
ZORVSOCK_API int zorvsock_set_opt(zorvsock_handle* h, int id, const void* value, int len);
/* *len is read, never written. */
ZORVSOCK_API int zorvsock_get_opt(zorvsock_handle* h, int id, void* value, int* len);
/* Obsolete: always -1. */
ZORVSOCK_API int zorvsock_setoption(zorvsock_handle* h, int id, const void* value, int len);

/* Text and version. */
ZORVSOCK_API uint32_t zorvsock_str2ip(const char* text); /* 0 for a malformed address */
ZORVSOCK_API char* zorvsock_ip2str(char* buf, uint32_t ip); /* buf holds 16 bytes */
ZORVSOCK_API uint32_t zorvsock_get_githash(void);
ZORVSOCK_API int zorvsock_get_lib_version(void);

/* UDP flows. A configure call turns a fresh handle into a UDP session on the card
 * interface ifname ("kvel0", "kvel0.100" for a VLAN): 0, -1 when the session cannot be
 * made, -12 or -110 no receive ring, -106 the handle is already set up, -113 no route
 * or neighbour for the destination (the handle stays a UDP session, but its sends fail
 * with -89 until a configure or retarget resolves a destination). A local port of 0
 * takes one that the kernel reserves for the handle. Without a destination (address 0)
 * the session answers the datagram last received: the first send then adopts its
 * sender and returns -107 without sending. zorvsock_udp_configure on a UDP handle
 * retargets it: the new destination, and the new local port unless it is 0; a change
 * between a unicast and a multicast destination brings the TTL option of the new kind
 * (ZORVSOCK_OPT_TTL or ZORVSOCK_OPT_MULTICAST_TTL). */
ZORVSOCK_API int zorvsock_udp_configure(zorvsock_handle* h, const char* ifname,
                                        uint16_t local_port, uint32_t dst_ip,
                                        uint16_t dst_port);
/* The same, receiving the datagrams of group (which the interface joins in the kernel
 * until release, unless zorvsock_disable_multicast came first); -22 for group 0 or an
 * unknown interface. */
ZORVSOCK_API int zorvsock_udp_configure_multicast(zorvsock_handle* h, const char* ifname,
                                                  uint16_t local_port, uint32_t dst_ip,
                                                  uint16_t dst_port, uint32_t group);
/* Receive only: every datagram whose destination address matches group under mask;
 * -22 for group 0, mask 0xFFFFFFFF or an unknown interface. */
ZORVSOCK_API int zorvsock_udp_configure_rx_multicast_mask(zorvsock_handle* h,
                                                          const char* ifname, uint32_t group,
                                                          uint32_t mask);
/* Before zorvsock_udp_configure_multicast: the caller joins groups itself. 0. */
ZORVSOCK_API int zorvsock_disable_multicast(zorvsock_handle* h);
/* Sends one datagram of len bytes (at most 1472, 1468 on a VLAN: else -90). With tx_id,
 * the card logs its send time under the id stored there (zorvsock_get_tx_timestamp).
 * 0; -11 no room in the TX window for now; -107 no destination; -89 the destination
 * last given (or adopted from the last sender) could not be resolved, nothing is sent
 * until a configure or retarget resolves one. */
ZORVSOCK_API int zorvsock_udp_send(zorvsock_handle* h, const void* data, int len,
                                   uint64_t* tx_id);
/* 1 when a datagram of the maximum size fits now, 0 when not; negative for a handle
 * that is no UDP session. */
ZORVSOCK_API int zorvsock_udp_send_ready(zorvsock_handle* h);
/* Zero-copy receive: the payload length with *data pointing at the datagram in the
 * receive ring, and its card receive time in ns (less the interface's RX correction).
 * The data stays valid, and another receive returns the same datagram, until
 * zorvsock_udp_zc_receive_done. -11 when nothing has arrived. Optional pointers may be
 * NULL. */
ZORVSOCK_API int zorvsock_udp_zc_receive(zorvsock_handle* h, const void** data,
                                         uint64_t* rx_time);
ZORVSOCK_API int zorvsock_udp_zc_receivefrom(zorvsock_handle* h, const void** data,
                                             uint64_t* rx_time, uint32_t* src_ip,
                                             uint16_t* src_port);
/* Also the datagram's destination (the group for a multicast datagram). */
ZORVSOCK_API int zorvsock_udp_zc_receivefrom_full(zorvsock_handle* h, const void** data,
                                                  uint64_t* rx_time, uint32_t* src_ip,
                                                  uint16_t* src_port, uint32_t* dst_ip,
                                                  uint16_t* dst_port);
/* Frees the datagram the last receive returned: 0; -22 when no receive returned one. */
ZORVSOCK_API int zorvsock_udp_zc_receive_done(zorvsock_handle* h);

/* TCP connections. Connect, listen and create_listener take the card interface ifname
 * ("kvel0", "kvel0.100" for a VLAN). */
enum zorvsock_tcp_state {
  ZORVSOCK_TCP_IDLE = 0,
  ZORVSOCK_TCP_CLOSED = 1,
  ZORVSOCK_TCP_LISTEN = 2,
  ZORVSOCK_TCP_SYN_RCV = 3,
  ZORVSOCK_TCP_SYN_ST = 4,
  ZORVSOCK_TCP_ESTABLISHED = 5,
  ZORVSOCK_TCP_CLOSE_WAIT = 6,
  ZORVSOCK_TCP_LAST_ACK = 7,
  ZORVSOCK_TCP_FIN_WAIT1 = 8,
  ZORVSOCK_TCP_FIN_WAIT2 = 9,
  ZORVSOCK_TCP_CLOSING = 10,
  ZORVSOCK_TCP_TIME_WAIT = 11
};
/* Active open: 0 once the SYN is sent (poll zorvsock_tcp_get_status for the handshake);
 * local_port 0 takes one the kernel reserves for the handle. -106 the handle is not
 * fresh (also after a failed connect: release it), -22 unknown interface or no address,
 * -1, -12 or -113 session set-up, -101 SYN not written. */
ZORVSOCK_API int zorvsock_tcp_connect(zorvsock_handle* h, const char* ifname,
                                      uint16_t local_port, uint32_t remote_ip,
                                      uint16_t remote_port);
/* A listener that becomes the connection of the first SYN it takes (in a status, peer
 * or option call). The handle's kind is not looked at: whatever it was, it becomes this
 * listener, but a handle that has held a connection takes no second one. 0; -14 null;
 * -22 unknown interface; -1 device. */
ZORVSOCK_API int zorvsock_tcp_listen(zorvsock_handle* h, const char* ifname, uint16_t port);
/* A listener whose connections go into fresh handles by zorvsock_tcp_accept. */
ZORVSOCK_API int zorvsock_tcp_create_listener(zorvsock_handle* h, const char* ifname,
                                              uint16_t port);
/* 1 a connection waits, 0 none; -14 null; -22 not a listener. */
ZORVSOCK_API int zorvsock_tcp_accept_ready(zorvsock_handle* listener);
/* Takes one waiting SYN into the fresh handle f and waits (up to about 5 s) for the
 * handshake: 0; -14 null or f not fresh; -22 not a listener; -11 nothing waiting or the
 * handshake failed (f stays fresh). */
ZORVSOCK_API int zorvsock_tcp_accept(zorvsock_handle* listener, zorvsock_handle* f);
/* The same without the wait: 0 once the SYN is answered, f then a connection whose
 * handshake runs on its own (TCP_SYN_RCV until zorvsock_tcp_get_status shows it done, or
 * TCP_CLOSED); the caller gives up one that takes too long by releasing f. -14, -22 as
 * above; -11 nothing waiting or no answer sent (f stays fresh). */
ZORVSOCK_API int zorvsock_tcp_accept_start(zorvsock_handle* listener, zorvsock_handle* f);
/* Sends our FIN while our sending side is open: from TCP_ESTABLISHED to TCP_FIN_WAIT1,
 * from TCP_CLOSE_WAIT (the peer has closed its side) to TCP_LAST_ACK, where the peer's
 * ACK of our FIN closes. In any other state closes at once. 0; -14 null. */
ZORVSOCK_API int zorvsock_tcp_disconnect(zorvsock_handle* h);
ZORVSOCK_API void zorvsock_tcp_disable(zorvsock_handle* h);
/* The connection's zorvsock_tcp_state; -14 null. */
ZORVSOCK_API int zorvsock_tcp_get_status(zorvsock_handle* h);
/* 1 when a reset from the peer ended the connection (TCP_CLOSED then tells a reset from
 * an orderly end after our FIN), 0 otherwise; -14 null. */
ZORVSOCK_API int zorvsock_tcp_was_reset(zorvsock_handle* h);
/* The peer's address and port: 0; -14 null; -107 no connection. */
ZORVSOCK_API int zorvsock_tcp_get_peer(zorvsock_handle* h, uint32_t* ip, uint16_t* port);
/* "TCP_ESTABLISHED" ...; "TCP_UNKNOWN" for any other value. */
ZORVSOCK_API const char* zorvsock_tcp_state_str(int state);
/* The data calls do not look at the handle's kind: the connection's state decides, and
 * a handle without one (fresh, a UDP flow, a listener) answers as a closed connection.
 *
 * Sends len bytes. Up to one segment (1460 bytes): 0; -11 the window or TX room is
 * short for now, or the handshake still runs; -14 above the peer's MSS; -104 no
 * connection (never one, closed, or our side closed by our disconnect); -107 the
 * connection ended while the send looked at it. Sending goes on after the peer's FIN
 * (TCP_CLOSE_WAIT) until our disconnect. Longer sends wait through the handshake and,
 * for as long as the connection lives, until every piece is written, then 0; on a
 * connection that cannot send -104, or -107 when it ended during the send (the pieces
 * before have been sent). -14 null. With tx_id the send time of the first segment is
 * logged under the id stored. */
ZORVSOCK_API int zorvsock_tcp_send(zorvsock_handle* h, const void* data, int len,
                                   uint64_t* tx_id);
/* 1 when our sending side is open (TCP_ESTABLISHED, TCP_CLOSE_WAIT) and a full segment
 * fits, else 0 (also for null and a handle without a connection). */
ZORVSOCK_API int zorvsock_tcp_send_ready(zorvsock_handle* h);
/* Zero-copy receive: the length of the next in-order bytes with *data pointing at them
 * in the ring, 0 none yet, -107 no connection or the peer can send no more: every byte
 * before its FIN has been received (TCP_CLOSE_WAIT and later) or the connection has
 * ended (*data NULL, *rx_ts_ns 0 less the RX correction); -14 null. Receiving goes on
 * after our own FIN (TCP_FIN_WAIT1, TCP_FIN_WAIT2): what the peer sends after it
 * arrives, none of it is dropped. The bytes stay until
 * zorvsock_tcp_zc_receive_done. rx_ts_ns may be NULL. */
ZORVSOCK_API int zorvsock_tcp_zc_receive(zorvsock_handle* h, const void** data,
                                         uint64_t* rx_ts_ns);
/* Consumes what the last receive returned: 0 (also without a connection); -14 null. */
ZORVSOCK_API int zorvsock_tcp_zc_receive_done(zorvsock_handle* h);

/* Card time and the time-stamp counter. */
ZORVSOCK_API int zorvsock_time_open(zorvsock_handle* h, const char* ifname);
ZORVSOCK_API uint64_t zorvsock_time_get(zorvsock_handle* h); /* 0 when not open */
ZORVSOCK_API uint64_t zorvsock_get_tsc_frequency(void);     /* Hz */
ZORVSOCK_API uint64_t zorvsock_bk_tsc(void);                /* always 0 */

/* Time stamps. */
ZORVSOCK_API int zorvsock_enable_tx_timestamping(zorvsock_handle* h, int entries);
/* The TX time of send `id` in ns; 0 not yet logged, 1 log entry already reused,
 * 2 the handle is neither a TCP connection nor a UDP flow. */
ZORVSOCK_API uint64_t zorvsock_get_tx_timestamp(zorvsock_handle* h, uint64_t id);
ZORVSOCK_API int zorvsock_get_pmapcsmac_delays(const char* ifname, uint64_t* tx_ps,
                                               uint64_t* rx_ps);

#ifdef __cplusplus
}
#endif

#endif /* ZORVSOCK_H */
