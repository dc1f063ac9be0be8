// The status lines of `tqr coordinator` on standard error, one per event, for a journal or a script.
//
// Each line is an event word, then fields `key=value` separated by one blank, in a fixed order. A value
// is written bare when it is not empty and is made only of printable ASCII other than blank, '"', '='
// and '\'; otherwise it is written in double quotes, escaped() (cli/escape.h), with '"' preceded
// by '\' too: printable UTF-8 of any script stays as it is, '\' is written \\, and every other byte
// (controls, C1 and bidirectional controls, invalid UTF-8) \xHH (two lower-case hex digits), so an
// event is always exactly one line that shows what the peer sent. The events:
//
//   rendezvous conference=ID nickname=NAME port=PORT outcome=OUTCOME ms=MS [cause=CAUSE]
//       one per rendezvous that ends on this coordinator, from its nomination on. OUTCOME is ok (the
//       sender answered "Sender Happy "), abandoned (a party left, CAUSE sender_left or
//       endstation_left, or was dropped, CAUSE the reason of its dropped line), port_in_use (its
//       sender was dropped for reporting ports in use), or failed (the endstation could not reach the
//       sender: CAUSE connect_failed); MS counts from the nomination (one decimal); PORT is the last
//       port lent, empty when none was.
//   dropped reason=REASON role=ROLE conference=ID nickname=NAME peer=ADDRESS:PORT detail=DETAIL
//       a party dropped by a rule: handshake_timeout (it did not finish the handshake in
//       TQR_HANDSHAKE_TIMEOUT), deadline (it did not give the answer in DETAIL within
//       TQR_LISTEN_TIMEOUT), ignored_messages (over 100 messages in a row its role or its state does
//       not allow), port_in_use (a sender that reported over 3 ports in use within a minute),
//       nickname_too_long (it would not fit the message that carries it), message_too_long (it sent
//       one longer than 997 bytes), no_role.
//   port_set_aside port=PORT conference=ID nickname=NAME seconds=S
//       a sender reported PORT in use; it is lent again after S seconds.
//   rejected_sender conference=ID peer=ADDRESS:PORT
//       a second sender for a conference that has one was turned away.
//   refused reason=max_parties count=N limit=L
//       N connections were closed at once since the previous such line (at most one a second)
//       because L parties were being served.
//   metrics_refused reason=REASON count=N
//       N clients of --metrics were ended for REASON since the previous such line (at most one a
//       second for each): full (all 8 connections, or 4 from its address, taken: answered 503), slow
//       (its request not whole within 2 s, or its answer not taken within 2 s), headers (over 8 KiB:
//       431), body (one declared over 4 KiB, or of a length not declared: 413).
//
// Notices, in the same form, that --quiet hides:
//
//   listening port=P pool=FIRST-LAST max_parties=N open_files=N drain_seconds=N [metrics=ADDRESS:PORT]
//   stopping signal=SIGTERM rendezvous=N parties=N
//   stopped drained=yes|no rendezvous=N ms=MS
// (rendezvous: those under way, holding a port of the pool; ms: since the signal)
#ifndef ZEL_TOOLS_TQR_SERVICE_STATUS_H
#define ZEL_TOOLS_TQR_SERVICE_STATUS_H

#include <string>
#include <vector>

namespace tqr {

struct Field {
    const char* key;
    std::string value;
};

// Writes one status line whole, with one write, so that lines from party threads, conference threads
// and the library never split one another.
void write_status(const char* event, const std::vector<Field>& fields);
// `value` with one decimal.
std::string decimal(double value);
const char* role_name(int role);

}  // namespace tqr

#endif
