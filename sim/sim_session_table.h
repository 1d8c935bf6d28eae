// Every session and listener of the card, in the order of allocation, for the
// datapath and the counters. The descriptors own them; the table only lists them, and
// its mutex is held by whoever looks at a session or listener or changes one.
#pragma once
#include <atomic>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace zsim {

struct sim_port;
struct sim_session;
struct sim_listener;

struct sim_session_table {
  std::mutex mutex;
  std::vector<sim_session*> sessions;
  std::vector<sim_listener*> listeners;  // owned by their descriptors too
  std::atomic<int> count{0};             // lets the datapath skip the mutex while there are none
  // The numbers in use per port and kind, so that finding a free one costs a look at
  // one flag per number rather than a walk of every session for each.
  std::map<std::pair<const sim_port*, char>, std::vector<bool>> numbers_used;
  // Readable once a session is added: the datapath, which waits long while there is no
  // window to watch, starts watching at once.
  int wake_fd;

  sim_session_table();
  ~sim_session_table();
  sim_session_table(const sim_session_table&) = delete;
  sim_session_table& operator=(const sim_session_table&) = delete;

  // All three with the mutex held. The lowest number that no session of kind holds on
  // port, or -1 when limit of them are in use.
  int free_slot(const sim_port* port, char kind, int limit) const;
  void add(sim_session* s);
  void remove(sim_session* s);
};

}  // namespace zsim
