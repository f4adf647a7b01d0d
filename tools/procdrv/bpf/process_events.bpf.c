/* The kernel side of the driver's eBPF source: at each exec that succeeded and at the end of
 * each process's last thread, one record in the ring buffer, with what the kernel knows at
 * that moment. Nothing is read later from /proc, so nothing races the process's end. */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "process_events.h"

char LICENSE[] SEC("license") = "GPL";

/* Not in the type information: a #define of the kernel's, stable for many years. */
#define SIGNAL_GROUP_EXIT 0x00000004
#define EEXIST 17
/* Readers are woken once this much waits, or by their own time-out: one wake a batch. Set
 * by the driver before loading, to a part of the ring's size. */
const volatile __u64 wake_at_bytes = 256 * 1024;

/* Sized by the driver before loading. */
struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, 8 * 1024 * 1024);
} events SEC(".maps");

/* Per processor, summed by the driver: records offered to the ring, and those that found no
 * room. Every record offered is read or counted lost. */
enum { COUNT_OFFERED = 0, COUNT_LOST = 1 };
struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, 2);
  __type(key, __u32);
  __type(value, __u64);
} counts SEC(".maps");

/* The processes whose end was told. Threads that end at the same moment may each find none
 * left: only the first to mark its process tells the end. Least recently used entries go. */
struct process_key {
  __u32 pid;
  __u32 unused;
  __u64 start_ns;
};
struct {
  __uint(type, BPF_MAP_TYPE_LRU_HASH);
  __uint(max_entries, 16384);
  __type(key, struct process_key);
  __type(value, __u8);
} ended SEC(".maps");

/* Where an exec record is put together: too large for the program's stack. */
struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, struct process_event_exec);
} scratch SEC(".maps");

static __always_inline void count(__u32 which) {
  __u64 *count = bpf_map_lookup_elem(&counts, &which);
  if (count) *count += 1;
}

static __always_inline __u64 wake_flags(void) {
  return bpf_ringbuf_query(&events, BPF_RB_AVAIL_DATA) >= wake_at_bytes ? BPF_RB_FORCE_WAKEUP
                                                                        : BPF_RB_NO_WAKEUP;
}

static __always_inline void fill_head(struct process_event_head *head, struct task_struct *task,
                                      unsigned int kind) {
  struct task_struct *leader = BPF_CORE_READ(task, group_leader);
  head->kind = kind;
  head->pid = BPF_CORE_READ(task, tgid);
  head->parent_pid = BPF_CORE_READ(task, real_parent, tgid);
  head->uid = BPF_CORE_READ(task, real_cred, uid.val);
  /* /proc/PID/stat's start time is the leader's. */
  head->start_ns = BPF_CORE_READ(leader, start_boottime);
  head->time_ns = bpf_ktime_get_boot_ns();
  head->status = 0;
  head->flags = 0;
  head->path_bytes = 0;
}

/* The walk up a path, one part a step (bpf_loop checks the step once, not each pass). */
struct path_walk {
  struct process_event_exec *record;
  struct dentry *dentry;
  struct vfsmount *vfsmnt;
  struct mount *mnt;
  unsigned int used;
  int reached_root;
};

static __always_inline struct mount *mount_of(struct vfsmount *vfsmnt) {
  return (struct mount *)((char *)vfsmnt - bpf_core_field_offset(struct mount, mnt));
}

/* 0: go on; 1: stop. */
static long walk_step(__u64 index, void *context) {
  struct path_walk *walk = context;
  struct dentry *dentry = walk->dentry;
  struct vfsmount *vfsmnt = walk->vfsmnt;
  struct mount *mnt = walk->mnt;
  struct dentry *parent = BPF_CORE_READ(dentry, d_parent);
  struct dentry *mount_root = BPF_CORE_READ(vfsmnt, mnt_root);
  if (dentry == mount_root || dentry == parent) {
    struct mount *mount_parent = BPF_CORE_READ(mnt, mnt_parent);
    /* A file of no directory (a memory file): named by itself, as the kernel names it. */
    if (dentry != mount_root && walk->used == 0) {
      long copied = bpf_probe_read_kernel_str(walk->record->path, PROCESS_EVENT_NAME_BYTES,
                                              BPF_CORE_READ(dentry, d_name.name));
      if (copied > 0) {
        walk->used = copied;
        walk->reached_root = 1;
        walk->record->head.flags |= PROCESS_EVENT_DELETED;
      }
      return 1;
    }
    /* The top mount, or one detached (lazily unmounted), which is its own parent: done, the
     * path is from its root. A root of a file system within a path: not reachable, no path. */
    if (dentry != mount_root || mnt == mount_parent) {
      walk->reached_root = dentry == mount_root;
      return 1;
    }
    walk->dentry = BPF_CORE_READ(mnt, mnt_mountpoint);
    walk->mnt = mount_parent;
    walk->vfsmnt = (struct vfsmount *)((char *)mount_parent + bpf_core_field_offset(struct mount, mnt));
    return 0;
  }
  unsigned int used = walk->used;
  if (used >= PROCESS_EVENT_PATH_BYTES) return 1;
  const unsigned char *name = BPF_CORE_READ(dentry, d_name.name);
  long copied = bpf_probe_read_kernel_str(
      &walk->record->path[used & (PROCESS_EVENT_PATH_BYTES - 1)], PROCESS_EVENT_NAME_BYTES, name);
  if (copied <= 0) return 1;
  walk->used = used + copied;
  walk->dentry = parent;
  return 0;
}

/* The parts of the path of file, innermost first, across mount points up to the root of the
 * mount namespace, as /proc/PID/exe gives it. */
static __always_inline void read_path(struct process_event_exec *record, struct file *file) {
  /* Locals: a field of the walk inside a CO-RE read would be relocated as a kernel type. */
  struct dentry *dentry = BPF_CORE_READ(file, f_path.dentry);
  struct vfsmount *vfsmnt = BPF_CORE_READ(file, f_path.mnt);
  /* Unhashed and not a root: unlinked. */
  if (!BPF_CORE_READ(dentry, d_hash.pprev) && BPF_CORE_READ(dentry, d_parent) != dentry) {
    record->head.flags |= PROCESS_EVENT_DELETED;
  }
  struct path_walk walk = {
      .record = record, .dentry = dentry, .vfsmnt = vfsmnt, .mnt = mount_of(vfsmnt)};
  bpf_loop(PROCESS_EVENT_MOST_PARTS, walk_step, &walk, 0);
  unsigned int used = walk.used;
  if (!walk.reached_root || used > PROCESS_EVENT_PATH_BYTES) {
    record->head.flags |= PROCESS_EVENT_PATH_CUT;
    used = 0;
  }
  record->head.path_bytes = used;
}

SEC("tp_btf/sched_process_exec")
int BPF_PROG(process_exec, struct task_struct *task, pid_t old_pid, struct linux_binprm *bprm) {
  __u32 zero = 0;
  struct process_event_exec *record = bpf_map_lookup_elem(&scratch, &zero);
  if (!record) return 0;
  fill_head(&record->head, task, PROCESS_EVENT_EXEC);
  /* The file the process now runs: for a script, its interpreter, as /proc/PID/exe. */
  struct file *file = BPF_CORE_READ(task, mm, exe_file);
  if (file) {
    read_path(record, file);
  } else {
    record->head.flags |= PROCESS_EVENT_PATH_CUT;
  }
  __u64 size = sizeof(record->head) + record->head.path_bytes;
  if (size > sizeof(*record)) size = sizeof(*record);
  count(COUNT_OFFERED);
  if (bpf_ringbuf_output(&events, record, size, wake_flags()) != 0) count(COUNT_LOST);
  return 0;
}

SEC("tp_btf/sched_process_exit")
int BPF_PROG(process_exit, struct task_struct *task) {
  /* Only the end of the last thread ends the process. */
  if (BPF_CORE_READ(task, signal, live.counter) != 0) return 0;
  struct task_struct *leader = BPF_CORE_READ(task, group_leader);
  struct process_key key = {.pid = BPF_CORE_READ(task, tgid),
                            .start_ns = BPF_CORE_READ(leader, start_boottime)};
  __u8 marked = 1;
  if (bpf_map_update_elem(&ended, &key, &marked, BPF_NOEXIST) == -EEXIST) return 0;
  count(COUNT_OFFERED);
  struct process_event_head *head = bpf_ringbuf_reserve(&events, sizeof(*head), 0);
  if (!head) {
    count(COUNT_LOST);
    return 0;
  }
  fill_head(head, task, PROCESS_EVENT_EXIT);
  /* What wait() gives the parent. */
  int code = (BPF_CORE_READ(task, signal, flags) & SIGNAL_GROUP_EXIT)
                 ? BPF_CORE_READ(task, signal, group_exit_code)
                 : BPF_CORE_READ(leader, exit_code);
  head->status = (code & 0x7f) ? 128 + (code & 0x7f) : (code >> 8) & 0xff;
  /* A program run raises the exec count above the one the process was forked with. */
  if (BPF_CORE_READ(leader, self_exec_id) == BPF_CORE_READ(leader, parent_exec_id)) {
    head->flags |= PROCESS_EVENT_NEVER_EXECED;
  }
  bpf_ringbuf_submit(head, wake_flags());
  return 0;
}
