/* The records the kernel side of the driver's eBPF source puts in its ring buffer, shared by
 * the BPF program and the driver. Plain C: the BPF target has no C++. */
#ifndef TARNWICK_TOOLS_PROCDRV_BPF_PROCESS_EVENTS_H_
#define TARNWICK_TOOLS_PROCDRV_BPF_PROCESS_EVENTS_H_

enum process_event_kind {
  PROCESS_EVENT_EXEC = 1,
  PROCESS_EVENT_EXIT = 2,
};

/* Flags of a record. */
enum process_event_flag {
  /* exec: the file was unlinked; /proc/PID/exe says " (deleted)". */
  PROCESS_EVENT_DELETED = 1,
  /* exec: the path had more or longer parts than the buffer holds; the path is unusable. */
  PROCESS_EVENT_PATH_CUT = 2,
  /* exit: the process never ran a program since it was forked. */
  PROCESS_EVENT_NEVER_EXECED = 4,
};

/* The most bytes of path parts an exec record carries, and the most parts. */
#define PROCESS_EVENT_PATH_BYTES 4096
#define PROCESS_EVENT_NAME_BYTES 256
/* More than a path of PROCESS_EVENT_PATH_BYTES can have, with mount points crossed. */
#define PROCESS_EVENT_MOST_PARTS 4096

struct process_event_head {
  unsigned int kind;
  unsigned int pid; /* the process (thread group) */
  unsigned int parent_pid;
  unsigned int uid; /* real user */
  unsigned long long start_ns; /* the process's start, on the boot clock */
  unsigned long long time_ns;  /* the exec or the end, on the boot clock */
  int status;                  /* exit: as a shell gives it, code or 128 plus the signal */
  unsigned short flags;
  /* exec: the bytes of path that follow: the parts of the path, innermost first, each ended
   * by a zero byte. */
  unsigned short path_bytes;
};

struct process_event_exec {
  struct process_event_head head;
  char path[PROCESS_EVENT_PATH_BYTES + PROCESS_EVENT_NAME_BYTES];
};

#endif /* TARNWICK_TOOLS_PROCDRV_BPF_PROCESS_EVENTS_H_ */
