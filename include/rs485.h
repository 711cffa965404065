/*
 * rs485.h - the public interface of librs485.so.1.
 *
 * librs485 lets several application processes share the RS-485 lines that the daemon dwmid
 * owns. On each line (channel) the daemon is bus master of up to 15 slave machines. An
 * application opens a channel, describes each machine (character format, reply delimiter,
 * time-out), chooses the machines that take part, deposits one request per machine, runs a
 * communication cycle and reads every machine's reply and status.
 *
 * Usable from C (C99) and C++. Link with -lrs485 (librs485.so -> librs485.so.1).
 *
 * Numbering: channels and machines are 1-based here. Channel c is the c-th line of the
 * configuration; a channel has machines 1 to 15.
 *
 * Configuration: the library reads /usr/local/etc/vellib/dwlib.conf once, at the first
 * pxa_rs485_open of the process ("order_conn": "server", "port", "res_wait_timeout";
 * "line" for "max_machine"; "shared_indata_num", "shared_key_dir", "shared"; "trace"). It
 * must describe the same lines and groups, in the same order, as the daemon's dwmid.conf.
 *
 * Blocking: the library has no thread of its own. Every call runs on the calling thread and
 * blocks it: order calls for the TCP exchange with the daemon (connect without a time limit,
 * each reply wait up to "res_wait_timeout" milliseconds), pxa_rs485_putOutputStream and
 * pxa_rs485_startCom until the daemon's worker of the channel has answered. Those two have no
 * fixed time limit, because a cycle over 15 machines with long reply time-outs can rightly take
 * minutes; instead they wait in slices of 250 ms and return 0 after the slice in which the
 * daemon is seen gone (its connection for the channel closed, or its shared memory or
 * semaphore removed: it ended, was killed or was shut down) or the channel is being closed by
 * another thread. A send to a daemon that has gone away fails with a result; it never raises
 * SIGPIPE, and the library changes no signal disposition.
 *
 * Answers: a caller gets the answer to its own request or 0. Processes that share a channel
 * take turns: a request waits until the channel's request slot is free, that is until the
 * request in flight has been answered and its answer collected (an answer nobody collects,
 * of a process that ended or gave up, is cleared by the daemon within about a second). Each
 * request carries the process's identity (see Sharing) and the daemon returns it with the
 * answer: a call accepts only its own answer and gives a post meant for another process back.
 * A semaphore post left over is dropped when the next request is made and never taken as that
 * request's answer; a waiting call whose answer was cleared (it was held up for about a second
 * after its answer came, stopped in a debugger, say) returns 0.
 *
 * Sharing: what a process sets, requests and reads on a channel is its own. At each open the
 * library asks the daemon for an identity of the process on the channel; from then on the
 * machine parameters (pxa_rs485_setPortParams), the selection (pxa_rs485_setComFlags), the
 * requests (pxa_rs485_putOutputStream) and the baud index of the process's last open apply to
 * that process's cycles only, whatever other processes set before or meanwhile: the line is
 * one bus, time-shared, and the daemon changes its speed and character format between cycles
 * where two processes differ. A machine the process has not described has the parameters of a
 * freshly opened channel: 8 data bits, 2 stop bits, odd parity (ctrl_bit 0xff), time-out 1 ms,
 * reply ended by silence, nothing after it, no wait; no machine is selected and no request is
 * deposited. After the process's pxa_rs485_startCom, pxa_rs485_getReceiveStream returns the
 * records of its own latest cycle, even when other processes ran cycles since; a machine that
 * cycle did not poll keeps the reply this process read last (length 0 if it never polled it),
 * with status 0 or 1. A process that has not run a cycle on the channel (a monitor) reads the
 * channel's newest records, whoever ran that cycle. A listener is called for its own process's
 * cycles. The settings are the daemon's per process and channel: a close, or the end of the
 * process, discards them. Two limits make a channel's users share one set of settings again,
 * where the last writer wins for everyone: a control segment configured at the minimum size
 * of its request slot (dwmid says "has no room for client identities" at the open), and more
 * than 16 processes on one channel (the 17th shares). A client that writes the shared memory
 * directly, without the library, is served with those shared settings too. `rs485ctl --users`
 * lists the processes that use a channel.
 *
 * Recovery after the daemon's end: the call that sees it returns 0 and detaches the channel's
 * shared memory, so that a restarted daemon can create its objects; from then on the data
 * calls of that channel return 0 at once, and pxa_rs485_getReceiveStream shows the last data
 * copied. To go on, the application calls pxa_rs485_close(channel), then
 * pxa_rs485_open(channel, ...) once the daemon runs again (open returns -3 until then), and
 * sets the machines' parameters and pxa_rs485_setComFlags again: a restarted daemon knows
 * none of them. Every channel that the process had open recovers that way.
 *
 * Threads: every function may be called from any thread, also at the same time. In detail:
 *  - calls on different channels run independently;
 *  - calls on one channel that use its connection or request slot (open, close,
 *    setPortParams, setComFlags, putOutputStream, startCom, and shutdown on its channel) run
 *    one after the other: a call waits while another thread's call on that channel runs,
 *    for example for the end of a cycle;
 *  - pxa_rs485_close while another thread waits in pxa_rs485_putOutputStream or
 *    pxa_rs485_startCom on that channel makes that call return 0 within about 250 ms (no
 *    listener call); the close then completes. The application must not start new calls on
 *    the channel meanwhile if it wants the channel to stay closed;
 *  - pxa_rs485_getReceiveStream never waits for a cycle, and pxa_rs485_close makes one that
 *    waits for the receive lock return within about 250 ms; while the application reads the
 *    returned records, another thread's pxa_rs485_getReceiveStream of the same channel may
 *    rewrite them, so readers of one channel coordinate among themselves;
 *  - pxa_rs485_addEventListener and pxa_rs485_removeEventListener may be called at any time;
 *    a listener is called after the cycle's call has released every lock of the library, so
 *    it may call any library function; a cycle whose answer was taken before the removal may
 *    still call the old listener once after pxa_rs485_removeEventListener returned;
 *  - the library's objects are never destroyed, so threads may go on calling it while the
 *    process exits.
 * Processes that share one channel need no lock of their own: their requests take turns in
 * the request slot (see Answers).
 *
 * Diagnostics: the library writes trace lines and error lines; they are not an interface.
 * Error lines go to standard error. Trace lines go where the key "trace" of dwlib.conf says:
 * "stdout" (the default), "stderr" or "off" (none), so that an application can keep its
 * standard output to itself.
 */
#ifndef RS485_H
#define RS485_H

#include "rs485_version.h"

#ifdef __cplusplus
/* C++ linkage even when the application wraps this header in extern "C" { }. */
extern "C++" {
#include <cstddef>
}
#else
#include <stdbool.h>
#include <stddef.h>
#endif

#if defined(__GNUC__)
#define RS485_API __attribute__((visibility("default")))
#else
#define RS485_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Number of slave machines per channel. */
#define RS485_MACHINE_COUNT 15
/* Largest request for one machine, in bytes. */
#define RS485_MAX_REQUEST 64
/* Largest reply of one machine, in bytes. */
#define RS485_MAX_REPLY 436

/*
 * Results of pxa_rs485_open (see there for what each means).
 */
#define RS485_OPEN_OK 0
#define RS485_OPEN_NOT_ATTACHED (-1)
#define RS485_OPEN_ALREADY (-2)
#define RS485_OPEN_FAILED (-3)

/*
 * Results of pxa_rs485_setComFlags, pxa_rs485_putOutputStream and pxa_rs485_startCom.
 */
#define RS485_OK 1
#define RS485_FAILED 0

/* Machine status (xfer_data.status of received data). */
#define RS485_STATUS_NOT_POLLED 0
#define RS485_STATUS_SELECTED 1
#define RS485_STATUS_COMPLETE 2
#define RS485_STATUS_TIMEOUT 4
#define RS485_STATUS_READ_ERROR 24

/*
 * Transfer record.
 * Transmit (pxa_rs485_putOutputStream): the application fills len (0..64) and data; status
 * is not read.
 * Receive (pxa_rs485_getReceiveStream): the library fills all three fields and owns the
 * record. data points at len reply bytes followed by a 0 byte, inside the library's private
 * copy; the bytes change when a later pxa_rs485_getReceiveStream copies newer data for that
 * machine. Before the first copy a record has len 0, status 0 and data pointing at an empty,
 * 0-terminated buffer.
 */
typedef struct xfer_data {
    unsigned short len;
    unsigned char status;
    unsigned char* data;
} xfer_data;

/* Event listener: called without arguments at the end of a communication cycle. */
typedef void (*rs485_listener)(void);

/*
 * Opens channel `channel` (1-based) at baud-rate index `baudrate` (the daemon accepts 0 to 5),
 * in sniffer mode when `sniffer` is true. The first call of the process reads the
 * configuration and connects; each channel has its own connection to the daemon.
 * Results:
 *    0  the daemon opened the channel and its shared memory is attached;
 *   -1  the daemon opened the channel, but its shared memory could not be attached (the
 *       channel is not one of the library's configured groups, or the daemon's segments are
 *       missing or too small); a later open of the channel tries to attach again;
 *   -2  the channel was already open in this process; the daemon counted this open as well,
 *       but the process's one pxa_rs485_close releases only one count, so the daemon keeps
 *       the line open until the daemon ends;
 *   -3  no connection to the daemon, no reply within "res_wait_timeout", a refusal
 *       (channel 0 or a channel the daemon has not configured), or no usable configuration:
 *       dwlib.conf is missing, unreadable or not valid JSON (the daemon is then not asked; a
 *       trace line names the file and the reason, and the process must be started again
 *       once the file is right, since the file is read once).
 * Blocks for the connect and up to "res_wait_timeout" for the reply.
 */
RS485_API int pxa_rs485_open(int channel, bool sniffer, unsigned char baudrate);

/*
 * Sends the close order for `channel` without waiting for a reply, closes the channel's
 * connection and detaches its shared memory. Nothing happens for a channel that this process
 * has not connected. The channel's listener and its received data stay. A data call waiting
 * on the channel in another thread returns 0 first (see Threads above).
 */
RS485_API void pxa_rs485_close(int channel);

/*
 * Character format (`ctrl_bit` of pxa_rs485_setPortParams), a bit set:
 *   bits 0-1   data bits: 0 = 5, 1 = 6, 2 = 7, 3 = 8 (RS485_FMT_DATA5 .. RS485_FMT_DATA8);
 *   value 4    1.5 stop bits asked for: the daemon sets two stop bits instead;
 *   value 8    two stop bits (one when clear);
 *   value 16   parity enabled;
 *   value 32   odd parity when parity is enabled (even when clear);
 *   64, 128    no meaning.
 * A machine whose parameters were never set is polled with 0xff (8 data bits, two stop bits,
 * odd parity). Every character is timed as 11 bits, whatever the format.
 */
#define RS485_FMT_DATA5 0x00
#define RS485_FMT_DATA6 0x01
#define RS485_FMT_DATA7 0x02
#define RS485_FMT_DATA8 0x03
#define RS485_FMT_STOP1_5 0x04
#define RS485_FMT_STOP2 0x08
#define RS485_FMT_PARITY 0x10
#define RS485_FMT_ODD 0x20
#define RS485_FMT_8N1 (RS485_FMT_DATA8)
#define RS485_FMT_8N2 (RS485_FMT_DATA8 | RS485_FMT_STOP2)
#define RS485_FMT_8E1 (RS485_FMT_DATA8 | RS485_FMT_PARITY)
#define RS485_FMT_8O1 (RS485_FMT_DATA8 | RS485_FMT_PARITY | RS485_FMT_ODD)
#define RS485_FMT_8E2 (RS485_FMT_8E1 | RS485_FMT_STOP2)
#define RS485_FMT_8O2 (RS485_FMT_8O1 | RS485_FMT_STOP2)
#define RS485_FMT_7N1 (RS485_FMT_DATA7)
#define RS485_FMT_7N2 (RS485_FMT_DATA7 | RS485_FMT_STOP2)
#define RS485_FMT_7E1 (RS485_FMT_DATA7 | RS485_FMT_PARITY)
#define RS485_FMT_7O1 (RS485_FMT_DATA7 | RS485_FMT_PARITY | RS485_FMT_ODD)
#define RS485_FMT_7E2 (RS485_FMT_7E1 | RS485_FMT_STOP2)
#define RS485_FMT_7O2 (RS485_FMT_7O1 | RS485_FMT_STOP2)

/*
 * Reply delimiter (`delm_type` of pxa_rs485_setPortParams): the byte value that ends a reply,
 * except RS485_DELIM_NONE (1), which means no delimiter: the reply ends after a silence of
 * four character times. A reply delimited by the byte 0x01 therefore cannot be framed by it.
 */
#define RS485_DELIM_NONE 0x01
#define RS485_DELIM_ETX 0x03
#define RS485_DELIM_EOT 0x04
#define RS485_DELIM_LF 0x0a
#define RS485_DELIM_CR 0x0d

/* Unit of `wait_time` of pxa_rs485_setPortParams, in milliseconds. */
#define RS485_WAIT_UNIT_MS 4

/*
 * Sets the parameters of machine `mc_num` (1..15) of `channel`; they are used from the next
 * cycle on and kept until set again. They are this process's own (see Sharing) and end with
 * its close; the channel's shared settings, which serve clients without an identity, last
 * until the channel's last user has closed it:
 *   ctrl_bit        character format, RS485_FMT_... above (RS485_FMT_8N1 for 8N1). A
 *                   pseudo-terminal (the simulator) always carries 8 data bits without parity,
 *                   so only real hardware shows a wrong format.
 *   time_out        milliseconds of silence tolerated while waiting for the reply (0..32767):
 *                   before the first byte, and until the delimiter every received byte starts
 *                   the count again. 0 gives up at the first silent poll; a negative value
 *                   waits more than an hour. On expiry the machine's status is
 *                   RS485_STATUS_TIMEOUT.
 *   delm_type       reply delimiter, RS485_DELIM_... above, or RS485_DELIM_NONE to end the
 *                   reply by silence. The delimiter itself is not stored.
 *   len_after_delm  bytes that follow the delimiter (a check sum, for example): they are read
 *                   and discarded; the reply is complete after them. Unused with
 *                   RS485_DELIM_NONE.
 *   wait_time       wait between switching the transceiver to transmit and sending the
 *                   request, in units of RS485_WAIT_UNIT_MS (4 ms); 0..255.
 * Machines from the line's "max_machine" on are not polled. The daemon does not answer;
 * nothing is reported (a channel not open only produces a trace line).
 */
RS485_API void pxa_rs485_setPortParams(int channel, int mc_num, unsigned char ctrl_bit,
                                       short time_out, unsigned char delm_type,
                                       unsigned char len_after_delm, unsigned char wait_time);

/*
 * How the replies of a machine end (`kind` of pxa_rs485_setReplyFraming):
 *   RS485_REPLY_DELIMITED  by the delimiter or the silence of pxa_rs485_setPortParams (the
 *                          default);
 *   RS485_REPLY_LENGTH     after `length` bytes (1..RS485_MAX_REPLY): the reply is complete at
 *                          its last byte, without waiting for silence; bytes the machine sends
 *                          beyond it are discarded;
 *   RS485_REPLY_MODBUS_RTU as a Modbus RTU frame: its length follows from the function code
 *                          (exception replies included) and the CRC is checked; a wrong CRC
 *                          gives RS485_STATUS_READ_ERROR with len 0. The whole frame is stored,
 *                          address to CRC. A function whose reply does not give its own length
 *                          (0x2B, user functions) ends after a silence of four characters, and
 *                          its CRC is checked too.
 * With the last two, delm_type and len_after_delm are not used; time_out keeps its meaning:
 * silence tolerated before the first byte and between two bytes (a reply that stops short
 * ends with RS485_STATUS_TIMEOUT and the bytes received).
 */
#define RS485_REPLY_DELIMITED 0
#define RS485_REPLY_LENGTH 1
#define RS485_REPLY_MODBUS_RTU 2

/*
 * Sets how the replies of machine `mc_num` (1..15) of `channel` end (RS485_REPLY_... above);
 * `length` is the reply length for RS485_REPLY_LENGTH and is not looked at otherwise. Used
 * from the next cycle on and kept until set again; like the other machine settings it is this
 * process's own (see Sharing) and ends with its close. pxa_rs485_setPortParams does not
 * change it. Result: 1 the daemon set it; 0 refused
 * (machine, kind or length out of range), no reply within "res_wait_timeout", channel not
 * open, no open yet. Blocks for the exchange with the daemon, like pxa_rs485_setComFlags.
 */
RS485_API int pxa_rs485_setReplyFraming(int channel, int mc_num, int kind, int length);

/*
 * Chooses the machines that take part in the cycles of `channel`: bit i of `flags` selects
 * machine i + 1. Result: 1 the daemon accepted the mask; 0 otherwise (refused, no reply within
 * "res_wait_timeout", channel not open, no open yet).
 */
RS485_API int pxa_rs485_setComFlags(int channel, int flags);

/*
 * Deposits the request `buf` (len 0..64 bytes at data) for machine `mc` (1..15) of `channel`
 * and waits until the daemon's worker has taken it (as long as the daemon lives, see Blocking
 * above). Result: 1 the daemon accepted the request; 0 refused, channel not attached, channel
 * or machine out of range, buf null or len above 64, the daemon gone (the channel is then
 * detached, see Recovery above) or the channel closed by another thread meanwhile. The
 * request is sent at every later cycle until replaced.
 */
RS485_API int pxa_rs485_putOutputStream(int channel, int mc, xfer_data* buf);

/*
 * Runs one communication cycle on `channel`: the daemon's worker addresses every machine this
 * process selected, with this process's parameters, requests and baud index (see Sharing), and
 * publishes the replies. Waits for the end of the cycle (as long as the daemon lives, see
 * Blocking above), then calls the channel's listener (also when the cycle failed).
 * Result: 1 success; 0 the cycle failed, or, without a listener call, no answer came: the
 * channel is not open or not attached, the daemon is gone (the channel is then detached, see
 * Recovery above), the channel was closed by another thread meanwhile, or the answer was
 * cleared before this process collected it.
 */
RS485_API int pxa_rs485_startCom(int channel);

/*
 * Fetches the received frames of `channel`, copying what changed since the last call.
 *   mc 1..15: returns the address of machine mc's xfer_data (an `xfer_data*`);
 *   mc 0:     returns the address of a table of 15 `xfer_data*`, machines 1..15 in order
 *             (an `xfer_data**`); machines from the line's "max_machine" up are not refreshed.
 * Once the process has run a cycle on the channel, the records are those of its own latest
 * cycle (see Sharing), whatever other processes polled since; before that, the channel's
 * newest, whoever ran that cycle. A machine that the cycle did not poll keeps its earlier
 * reply; its status (0 not selected, 1 selected but not reached) says that the cycle left it
 * out.
 * The records belong to the library and stay valid while the process runs; the address is the
 * same at every call. It is returned also when nothing was copied (channel not attached, no
 * cycle yet): the records then show what they showed before. Returns NULL when no channel was
 * ever opened in the process, or for a channel outside the library's configured groups or a
 * machine outside 0..15. Never waits for a cycle: it takes the channel's receive lock, which
 * the daemon holds only while it publishes a cycle's replies. While another process holds
 * that lock (one stopped in a debugger, say) the call waits, and copies nothing when the
 * channel is closed by another thread meanwhile (within about 250 ms) or the daemon is gone.
 */
RS485_API void* pxa_rs485_getReceiveStream(int channel, int mc);

/*
 * Registers `listener` for `channel`, replacing any earlier one (a NULL listener removes
 * it). The channel need not be open. The listener runs on the thread that called
 * pxa_rs485_startCom.
 */
RS485_API void pxa_rs485_addEventListener(int channel, rs485_listener listener);

/* Removes the listener of `channel`, if any. */
RS485_API void pxa_rs485_removeEventListener(int channel);

/* Always 0. */
RS485_API int pxa_rs485_getPortStatus(void);

/* Does nothing. */
RS485_API void pxa_rs485_putPortStatus(unsigned char status);

/* Always 0. */
RS485_API unsigned short pxa_rs485_verGet(void);

#ifndef RS485_LIBRARY_INTERNAL
/*
 * The library's facade object: NULL until the first pxa_rs485_open of the process, then set
 * for the rest of its life. Opaque; only its being NULL or not means anything to callers.
 */
RS485_API extern void* dw485if;
#endif

#ifdef __cplusplus
}

extern "C++" {
/*
 * Sends the order "shut" to the daemon on the connection of the lowest channel this process
 * has connected and closes that connection: the daemon stops serving orders and ends. Nothing
 * else changes in the process; later orders fail. Does nothing before the first open or when
 * no channel is connected.
 *
 * This function has C++ linkage (its symbol is the C++ name of a function without
 * parameters), so it is declared for C++ only, inside extern "C++" so that it keeps that
 * linkage when the application includes this header within extern "C" { }. A C application
 * that needs it compiles a one-line C++ wrapper, for example:
 *     extern "C" void app_rs485_shutdown(void) { pxa_rs485_shutdown(); }
 */
RS485_API void pxa_rs485_shutdown();
}
#endif

#endif /* RS485_H */
