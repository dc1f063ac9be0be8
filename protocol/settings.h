// Every TQR_* setting the library and its coordinator host read, read once, the first time anything
// asks (the port pool asks while the library loads). Settings come from the environment through
// zel_common, each with its default registered first; a value out of range (not a positive number, or
// for the two host limits a negative one) reads as the default. Later changes to the environment change nothing in a running process.
#ifndef ZEL_PROTOCOL_SETTINGS_H
#define ZEL_PROTOCOL_SETTINGS_H

#include "common/export.h"

namespace zel {

struct Settings {
    // The coordinator's port and the top of the pool it lends: the setting, else the services
    // database ("zeltqr", "zeltqrtop"), else 7200 and 7220; the top lies above the coordinator port.
    int coordinator_port;
    int top_port;

    // Seconds a sender's listener waits for its endstation, and that each party of a rendezvous has
    // to give an answer the coordinator waits for (TQR_LISTEN_TIMEOUT, 60).
    double listen_timeout;
    // Seconds a write to a party's link may block on the coordinator before the party is dropped
    // (TQR_SEND_TIMEOUT, 10).
    int send_timeout;
    // Seconds for the whole handshake, whatever its peer dribbles (TQR_HANDSHAKE_TIMEOUT, 10).
    double handshake_timeout;
    // Seconds a key frame may take on a direct link (TQR_KEYCHECK_TIMEOUT, 5).
    double keycheck_timeout;
    // Parties a coordinator host serves at once (TQR_MAX_PARTIES, 4096; 0: no limit).
    int max_parties;
    // Parties from one address a coordinator host serves at once (TQR_MAX_PARTIES_PER_SOURCE; 0, the
    // default: an eighth of the parties it serves at once).
    int max_parties_per_source;
    // Conferences without a sender in which endstations from one address may wait at once
    // (TQR_MAX_WAITING_CONFERENCES, 16).
    int max_waiting_conferences;
    // Whether a coordinator host takes senders from addresses that are not its own machine's
    // (TQR_REMOTE_SENDERS, 0): an endstation reaches its sender at the coordinator's host name, so a
    // sender elsewhere can never be reached, and could only hold conferences.
    bool remote_senders;
    // Seconds a stopping coordinator host lets rendezvous under way finish (TQR_DRAIN_SECONDS, 5; 0: none).
    int drain_seconds;
    // Threads each of the library's two pools runs at most (TQR_MAX_THREADS, 16384): a coordinator's
    // party takes one for its session, a sender's listener and an endstation's reader and bridge one
    // each.
    int max_threads;
    // Whether the pools' threads run SCHED_BATCH when the process runs the default policy
    // (TQR_BATCH_THREADS, 1; 0: they keep the policy of the thread that started them). A host's
    // bridge callback runs on such a thread: it gets the CPU as any other, but a wake-up does not
    // preempt the thread that runs.
    bool batch_threads;
    // TQR_SO_SNDBUF as the connection reads it (0: not set). Advisory only: no socket option is made
    // of it, since the kernel's own tuning serves these short texts better.
    int so_sndbuf;

    // How long a port whose listener may still hold it stays out of the pool after its rendezvous was
    // abandoned before the sender reported listening, or after the sender reported it in use: the
    // sender had a listen time limit to answer and its listener another to give up, and a key check
    // under way may outlast both.
    double unheard_listener_margin() const { return 2 * listen_timeout + keycheck_timeout; }
    // The same once the sender reported listening: its listener's time limit started before that.
    double heard_listener_margin() const { return listen_timeout + keycheck_timeout; }
};

// The settings of this process, read on the first call; any thread. Never fails: a value out of
// range reads as its default.
ZEL_API const Settings& settings();

}  // namespace zel

#endif
