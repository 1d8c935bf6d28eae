// What every kind of session does with its TX window: the complete sends are taken in
// order, each handed to the kind's sender, its time logged when its descriptor asks
// (bit 15 of the flags at byte 2, in the UDP and the TCP descriptor alike), and the
// feedback word published after each.
#pragma once

namespace zsim {

struct sim_session;

struct tx_sender {
  // Window lines a send takes, from its first line.
  int (*lines_of)(const unsigned char* first_line);
  // Sends the lines of one send; bad: its first line gives a length the ring cannot hold.
  void (*send)(sim_session& s, const unsigned char* lines, bool bad);
};

// Takes up to a few complete sends of an enabled window; the number taken.
int session_tx(sim_session& s, const tx_sender& sender);
// Takes every complete send still waiting: at the session's release, as the card would
// have sent them long before. The caller holds the table's mutex.
void session_tx_flush(sim_session& s, const tx_sender& sender);

}  // namespace zsim
