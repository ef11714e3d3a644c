/* The memory that engrave-lcnc and the engrave_trigger realtime component share.
 *
 * One rtapi shared-memory block, created by the component when it loads:
 *   [0, ENGRAVE_TRIGGER_DRIVER_BYTES)   the host's DriverState; its first member is the
 *                                       trigger-bit buffer, which the component reads
 *   control block                       arming, heartbeat, the machine as the component sees it
 *   fired record                        bit j set once step j of the armed move fired
 *
 * This header is C so that halcompile can build the component from it; the host includes it
 * from C++. Plain fields are written by one side only; the arm, ack, heartbeat and capture
 * words carry the hand-overs (release on write, acquire on read). */
#ifndef ENGRAVE_TRIGGER_SHM_H
#define ENGRAVE_TRIGGER_SHM_H

#define ENGRAVE_TRIGGER_SHM_KEY 0x454e4754 /* "ENGT" */
#define ENGRAVE_TRIGGER_MAGIC 0x54524731u  /* "TRG1" */
#define ENGRAVE_TRIGGER_VERSION 2u
#define ENGRAVE_TRIGGER_WORDS 32000
#define ENGRAVE_TRIGGER_BITS (ENGRAVE_TRIGGER_WORDS * 32)
/* Room for the host's whole DriverState before the control block. */
#define ENGRAVE_TRIGGER_DRIVER_BYTES 131072
#define ENGRAVE_TRIGGER_CONTROL_BYTES 4096
#define ENGRAVE_TRIGGER_SHM_BYTES \
  (ENGRAVE_TRIGGER_DRIVER_BYTES + ENGRAVE_TRIGGER_CONTROL_BYTES + ENGRAVE_TRIGGER_WORDS * 4)
/* X standstills at least this long are recorded as gaps (line ends, pauses); the first steps
 * of a move from standstill come faster than this. */
#define ENGRAVE_TRIGGER_GAP_MIN_NS 3000000ull
#define ENGRAVE_TRIGGER_GAP_SLOTS 256

struct engrave_trigger_control {
  /* Written by the component once, when it loads. */
  unsigned int magic;
  unsigned int version;
  unsigned int words;
  unsigned int reserved0;

  /* Written by the host. arm_move: a new non-zero number arms the component for the next X
   * move (counting starts from zero); 0 disarms. Stored last, with release. */
  unsigned int arm_move;
  /* +1 when the armed move runs forward in stepgen counts (dir low), -1 when it runs back. */
  int direction;
  /* Non-zero: each fired step gives a pulse of pulse-ns; zero: fire holds the step's bit. */
  unsigned int pulse_mode;
  /* The host proves it is alive by changing this word (never to 0) at least every few
   * milliseconds; the component disarms when it stands still for longer than watchdog-ns. */
  unsigned int heartbeat;
  /* Process id of the host that owns the buffer, 0 when none (compare-and-swap by hosts). */
  int owner_pid;
  /* The raster line the host engraves now, -1 when none (shown on a pin). */
  int host_raster_line;
  /* A change resets the X stepping record below (first, last step and the gaps). */
  unsigned int stamp_epoch;
  unsigned int reserved1;

  /* Written by the component. ack_move echoes arm_move once the component acts on it (release);
   * after ack_move reads 0 the counters and the fired record of the move are final. */
  unsigned int ack_move;
  unsigned int move_steps;    /* steps that advanced the move: step numbers 0..move_steps-1 */
  unsigned int move_retraced; /* steps back over ground already passed, and the return */
  unsigned int move_fires;
  unsigned int move_overrun; /* advancing steps beyond the last trigger bit */
  /* The move the watchdog disarmed (0 when none); cleared when the host disarms. */
  unsigned int tripped_move;
  long long move_first_ns; /* rtapi time of the move's first advancing step, 0 before it */
  long long move_last_ns;  /* rtapi time of its latest advancing step */
  /* Since the component loaded: every X step seen, armed or not, and every fire. */
  unsigned long long total_steps;
  unsigned long long total_fires;
  unsigned int watchdog_trip_count;
  unsigned int standstill_drop_count; /* times fire was dropped because X stood still */

  /* Thread time since the last X and Y step, in ns (saturating). */
  unsigned long long x_idle_ns;
  unsigned long long y_idle_ns;

  /* The stepgens and the commanded motor positions, captured together in the servo thread:
   * capture_seq is odd while they are written (a sequence lock). */
  unsigned int capture_seq;
  unsigned int buttons; /* bit 0: cycle-start pin, bit 1: reset pin */
  int captured_x_counts;
  int captured_y_counts;
  double captured_x_pos_cmd;
  double captured_y_pos_cmd;

  /* X stepping since stamp_epoch last changed: rtapi times of the first and the latest step,
   * and every standstill of at least ENGRAVE_TRIGGER_GAP_MIN_NS (gap_count counts them all;
   * the latest ENGRAVE_TRIGGER_GAP_SLOTS are kept, slot gap_count % slots). */
  unsigned int seen_epoch;
  unsigned int gap_count;
  long long x_first_ns;
  long long x_last_ns;
  unsigned int gaps_ns[ENGRAVE_TRIGGER_GAP_SLOTS];

  /* Written by the host as it arms a move, before arm_move, and kept until it arms the next
   * one, also after the host has died: the engraving it belongs to (a number the host chose,
   * 0 none), its raster line (from 0) and where the line's own step j lies in the move (step
   * j + job_bit_shift). With the fired record they tell a new host exactly what an interrupted
   * line fired. The component never reads them. */
  unsigned int job;
  int job_line;
  int job_bit_shift;
  unsigned int reserved2;
};

#define ENGRAVE_TRIGGER_CONTROL(base) \
  ((struct engrave_trigger_control*)((char*)(base) + ENGRAVE_TRIGGER_DRIVER_BYTES))
#define ENGRAVE_TRIGGER_FIRED(base) \
  ((unsigned int*)((char*)(base) + ENGRAVE_TRIGGER_DRIVER_BYTES + ENGRAVE_TRIGGER_CONTROL_BYTES))

#endif
