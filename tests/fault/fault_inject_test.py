#!/usr/bin/env python3
"""Tests for the LD_PRELOAD fault injector.

Uses FAULT_INJECT_LIB if set, otherwise builds fault_inject.c with cc.
A small C helper does the same I/O on a .DUMMY file and a plain file and
prints one "<op> <which> <result> [ERRNAME]" line per call.
"""
import errno
import os
import shutil
import subprocess
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))

HELPER_C = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *ename(int e)
{
    static char num[16];
    switch (e) {
#define N(x) case x: return #x;
    N(EIO) N(ENOSPC) N(EBADF) N(EFBIG) N(EAGAIN) N(EMFILE) N(EACCES)
    N(EINTR) N(EROFS) N(EPERM) N(ENOENT)
#undef N
    }
    snprintf(num, sizeof num, "%d", e);
    return num;
}

static void report(const char *op, const char *which, long r, int err)
{
    if (r < 0)
        printf("%s %s -1 %s\n", op, which, ename(err));
    else
        printf("%s %s %ld\n", op, which, r);
}

#define CALL(op, which, expr) do { long r_ = (long)(expr); \
    report(op, which, r_, errno); } while (0)

static void *idle(void *arg) { return arg; }

static int seq(const char *dir, size_t chunk)
{
    static char buf[65536];
    const char *which[2] = {"dummy", "plain"};
    char path[2][4096];
    int fd[2], i, k;
    struct stat st;

    memset(buf, 'x', sizeof buf);
    snprintf(path[0], sizeof path[0], "%s/x_0_0.DUMMY", dir);
    snprintf(path[1], sizeof path[1], "%s/plain.txt", dir);
    for (i = 0; i < 2; i++) {
        fd[i] = open(path[i], O_RDWR | O_CREAT | O_TRUNC, 0644);
        report("open", which[i], fd[i], errno);
    }
#define EACH for (i = 0; i < 2; i++) if (fd[i] >= 0)
    EACH CALL("lseek", which[i], lseek(fd[i], 0, SEEK_SET));
    for (k = 0; k < 3; k++)
        EACH CALL("write", which[i], write(fd[i], buf, chunk));
    EACH CALL("fdatasync", which[i], fdatasync(fd[i]));
    EACH CALL("fsync", which[i], fsync(fd[i]));
    EACH CALL("lseek", which[i], lseek(fd[i], 0, SEEK_SET));
    for (k = 0; k < 4; k++)
        EACH CALL("read", which[i], read(fd[i], buf, chunk));
    EACH {
        fstat(fd[i], &st);
        printf("size %s %ld\n", which[i], (long)st.st_size);
        printf("mode %s %o\n", which[i], (unsigned)st.st_mode & 0777);
    }
    EACH {
        CALL("close", which[i], close(fd[i]));
        CALL("getfd", which[i], fcntl(fd[i], F_GETFD));
    }
    /* The lowest free number is the old dummy fd; a pipe there must not
     * inherit its flag. */
    {
        int p[2];
        char c = 'p';
        if (pipe(p))
            return 1;
        printf("reopen pipe %d\n", p[0]);
        CALL("write", "pipe", write(p[1], &c, 1));
        CALL("read", "pipe", read(p[0], &c, 1));
        close(p[0]);
        close(p[1]);
    }
    for (i = 0; i < 2; i++) {
        CALL("unlink", which[i], unlink(path[i]));
        printf("exists %s %d\n", which[i], access(path[i], F_OK) == 0);
    }
    for (k = 0; k < 3; k++) {
        pthread_t t;
        char name[8];
        int r = pthread_create(&t, NULL, idle, NULL);
        snprintf(name, sizeof name, "%d", k);
        report("thread", name, r ? -1 : 0, r);
        if (!r)
            pthread_join(t, NULL);
    }
    return 0;
}

/* Many threads writing their own .DUMMY files at once. */
static const char *mt_dir;
static int mt_iters;
static int mt_failed;

static void *mt_worker(void *arg)
{
    char path[4096], buf[16] = "0123456789abcdef";
    int i, fails = 0, fd;

    snprintf(path, sizeof path, "%s/x_0_%ld.DUMMY", mt_dir, (long)arg);
    fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        abort();
    for (i = 0; i < mt_iters; i++)
        if (write(fd, buf, sizeof buf) != (ssize_t)sizeof buf)
            fails++;
    close(fd);
    unlink(path);
    __atomic_add_fetch(&mt_failed, fails, __ATOMIC_SEQ_CST);
    return NULL;
}

static int mt(const char *dir, int threads, int iters)
{
    pthread_t t[64];
    long i;

    mt_dir = dir;
    mt_iters = iters;
    for (i = 0; i < threads; i++)
        if (pthread_create(&t[i], NULL, mt_worker, (void *)i))
            abort();
    for (i = 0; i < threads; i++)
        pthread_join(t[i], NULL);
    printf("mt failed %d\n", mt_failed);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[2], "mt") == 0)
        return mt(argv[1], atoi(argv[3]), atoi(argv[4]));
    return seq(argv[1], argc > 2 ? (size_t)atol(argv[2]) : 1000);
}
"""


def cc(out, *args):
    subprocess.run(["cc", "-o", out, *args], check=True)


class FaultInjectTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="fault_inject_test.")
        cls.lib = os.environ.get("FAULT_INJECT_LIB")
        if not cls.lib:
            cls.lib = os.path.join(cls.tmp, "libfault_inject.so")
            cc(cls.lib, "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Werror",
               os.path.join(HERE, "fault_inject.c"), "-ldl", "-lpthread")
        cls.lib = os.path.abspath(cls.lib)
        src = os.path.join(cls.tmp, "helper.c")
        with open(src, "w") as f:
            f.write(HELPER_C)
        cls.helper = os.path.join(cls.tmp, "helper")
        cc(cls.helper, "-O1", "-Wall", src, "-pthread")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=self.tmp)

    def run_helper(self, *args, preload=True, check=True, **fault):
        env = {k: v for k, v in os.environ.items() if not k.startswith("FAULT_")}
        env.update({"FAULT_" + k.upper(): str(v) for k, v in fault.items()})
        if preload:
            env["LD_PRELOAD"] = self.lib
        proc = subprocess.run([self.helper, self.dir, *map(str, args)], env=env,
                              capture_output=True, text=True, timeout=60)
        if check:
            self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc

    def seq(self, *args, **fault):
        out = self.run_helper(*args, **fault).stdout
        return [line.split() for line in out.splitlines()]

    @staticmethod
    def results(lines, op, which="dummy"):
        """Results of one op on one file, in call order: ints or errno names."""
        return [int(l[2]) if len(l) == 3 else l[3] for l in lines
                if l[0] == op and l[1] == which]

    @staticmethod
    def failed(lines):
        # getfd after close fails by design.
        return {(l[0], l[1]) for l in lines if len(l) == 4 and l[0] != "getfd"}

    def value(self, lines, op, which="dummy"):
        (v,) = self.results(lines, op, which)
        return v

    def test_inactive_without_fault_op(self):
        base = self.seq(preload=False)
        self.assertEqual(self.seq(), base)
        self.assertEqual(self.failed(base), set())
        self.assertEqual(self.results(base, "read"), [1000, 1000, 1000, 0])

    def test_each_op_faults_only_dummy_file(self):
        cases = {
            # op: {call: number of dummy calls}
            "write": {"write": 3},
            "read": {"read": 4},
            "lseek": {"lseek": 2},
            "fdatasync": {"fdatasync": 1, "fsync": 1},  # fsync shares the op
            "unlink": {"unlink": 1},
        }
        for op, calls in cases.items():
            with self.subTest(op=op):
                lines = self.seq(op=op, errno="ENOSPC", count=0)
                self.assertEqual(self.failed(lines), {(c, "dummy") for c in calls})
                for call, n in calls.items():
                    self.assertEqual(self.results(lines, call), ["ENOSPC"] * n)

        with self.subTest(op="open"):
            lines = self.seq(op="open", errno="EMFILE")
            self.assertEqual(self.value(lines, "open"), "EMFILE")
            self.assertEqual(self.failed(lines), {("open", "dummy")})
            self.assertEqual(self.results(lines, "write", "plain"), [1000] * 3)

    def test_unlink_fault_keeps_file(self):
        lines = self.seq(op="unlink", errno="EROFS")
        self.assertEqual(self.value(lines, "unlink"), "EROFS")
        self.assertEqual(self.value(lines, "exists"), 1)
        self.assertEqual(self.value(lines, "exists", "plain"), 0)

    def test_close_fault_still_releases_descriptor(self):
        lines = self.seq(op="close", errno="EIO")
        self.assertEqual(self.value(lines, "close"), "EIO")
        self.assertEqual(self.value(lines, "getfd"), "EBADF")
        # The dummy fd was the lowest one opened, so the pipe must get it back.
        self.assertEqual(self.value(lines, "reopen", "pipe"), self.value(lines, "open"))
        self.assertEqual(self.value(lines, "close", "plain"), 0)

    def test_nth_and_count_select_calls(self):
        cases = [
            # (nth, count, dummy write results)
            (1, 1, ["EIO", 1000, 1000]),
            (2, 1, [1000, "EIO", 1000]),
            (2, 0, [1000, "EIO", "EIO"]),
            (1, 2, ["EIO", "EIO", 1000]),
            (4, 0, [1000, 1000, 1000]),
        ]
        for nth, count, expected in cases:
            with self.subTest(nth=nth, count=count):
                log = os.path.join(self.dir, "fault-%d-%d.log" % (nth, count))
                lines = self.seq(op="write", nth=nth, count=count, log=log)
                self.assertEqual(self.results(lines, "write"), expected)
                self.assertEqual(self.results(lines, "write", "plain"), [1000] * 3)
                fired = [i + 1 for i, r in enumerate(expected) if r == "EIO"]
                logged = ""
                if os.path.exists(log):
                    with open(log) as f:
                        logged = f.read()
                self.assertEqual(logged, "".join("write %d\n" % n for n in fired))

        with self.subTest("fsync counts as the 2nd fdatasync call"):
            lines = self.seq(op="fdatasync", nth=2)
            self.assertEqual(self.value(lines, "fdatasync"), 0)
            self.assertEqual(self.value(lines, "fsync"), "EIO")

    def test_errno_by_name_number_and_default(self):
        for setting, expected in [("EFBIG", "EFBIG"), ("28", "ENOSPC"), (None, "EIO")]:
            with self.subTest(errno=setting):
                fault = {"op": "write"}
                if setting is not None:
                    fault["errno"] = setting
                self.assertEqual(self.results(self.seq(**fault), "write")[0], expected)

    def test_short_transfers(self):
        lines = self.seq(op="write", short=1, count=0)
        self.assertEqual(self.results(lines, "write"), [500] * 3)
        self.assertEqual(self.value(lines, "size"), 1500)
        self.assertEqual(self.value(lines, "size", "plain"), 3000)

        lines = self.seq(op="read", short=1, nth=2, count=2)
        self.assertEqual(self.results(lines, "read"), [1000, 500, 500, 1000])
        self.assertEqual(self.results(lines, "read", "plain"), [1000, 1000, 1000, 0])

        lines = self.seq(1, op="write", short=1, count=0)
        self.assertEqual(self.results(lines, "write"), [0] * 3)
        self.assertEqual(self.results(lines, "write", "plain"), [1] * 3)

        lines = self.seq(op="read", short_by=512, nth=3, count=1)
        self.assertEqual(self.results(lines, "read"), [1000, 1000, 488, 512])
        lines = self.seq(op="write", short_by=1000, count=0)
        self.assertEqual(self.results(lines, "write"), [0] * 3)

    def test_delay_slows_but_succeeds(self):
        delay_ms = 200
        for op, calls in [("write", 3), ("read", 4), ("close", 1)]:
            with self.subTest(op=op):
                start = time.monotonic()
                lines = self.seq(op=op, delay_ms=delay_ms, count=0)
                elapsed = time.monotonic() - start
                self.assertGreaterEqual(elapsed, calls * delay_ms / 1000)
                self.assertEqual(self.failed(lines), set())
                self.assertEqual(self.results(lines, "read"), [1000, 1000, 1000, 0])

    def test_shrink_halves_file_before_read_back(self):
        lines = self.seq(op="shrink", nth=2)
        self.assertEqual(self.failed(lines), set())
        self.assertEqual(self.results(lines, "write"), [1000] * 3)
        self.assertEqual(self.results(lines, "read"), [1000, 500, 0, 0])
        self.assertEqual(self.value(lines, "size"), 1500)
        self.assertEqual(self.value(lines, "size", "plain"), 3000)

    def test_only_the_named_rank_injects(self):
        names = ("OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK", "SLURM_PROCID")
        saved = {k: os.environ.pop(k) for k in names if k in os.environ}
        self.addCleanup(os.environ.update, saved)
        # No rank at all, another rank, the rank (as Open MPI or Slurm says).
        for ranks, faults in (({}, False), ({"OMPI_COMM_WORLD_RANK": "12"}, False),
                              ({"OMPI_COMM_WORLD_RANK": "2"}, True),
                              ({"SLURM_PROCID": "2"}, True)):
            with self.subTest(**ranks):
                os.environ.update(ranks)
                lines = self.seq(op="write", errno="ENOSPC", count=0, rank=2)
                for k in ranks:
                    del os.environ[k]
                self.assertEqual(self.failed(lines), {("write", "dummy")} if faults else set())

    def test_pthread_create_counts_only_the_programs_own_threads(self):
        # A library that starts a thread of its own, as MPI does in MPI_Init.
        lib_c = os.path.join(self.dir, "spawn.c")
        with open(lib_c, "w") as f:
            f.write("#include <pthread.h>\n"
                    "static void *idle(void *a) { return a; }\n"
                    "int spawn(void) { pthread_t t; int r = pthread_create(&t, 0, idle, 0);"
                    " if (!r) pthread_join(t, 0); return r; }\n")
        lib = os.path.join(self.dir, "libspawn.so")
        cc(lib, "-shared", "-fPIC", lib_c, "-pthread")
        main_c = os.path.join(self.dir, "main.c")
        with open(main_c, "w") as f:
            f.write("#include <pthread.h>\n#include <stdio.h>\nint spawn(void);\n"
                    "static void *idle(void *a) { return a; }\n"
                    "int main(void) { pthread_t t; int i, r;\n"
                    "  for (i = 0; i < 2; i++) printf(\"library %d\\n\", spawn());\n"
                    "  for (i = 0; i < 2; i++) { r = pthread_create(&t, 0, idle, 0);\n"
                    "    if (!r) pthread_join(t, 0); printf(\"own %d\\n\", r); }\n"
                    "  return 0; }\n")
        prog = os.path.join(self.dir, "spawner")
        cc(prog, main_c, "-L" + self.dir, "-lspawn", "-Wl,-rpath," + self.dir, "-pthread")
        env = dict(os.environ, LD_PRELOAD=self.lib, FAULT_OP="pthread_create", FAULT_NTH="2")
        out = subprocess.run([prog], env=env, capture_output=True, text=True,
                             timeout=60, check=True).stdout
        # The library's two starts pass uncounted; the program's second fails.
        self.assertEqual(out.split("\n"), ["library 0", "library 0", "own 0",
                                           "own %d" % errno.EAGAIN, ""])

    def test_pthread_create(self):
        lines = self.seq(op="pthread_create", nth=2)
        self.assertEqual(self.results(lines, "thread", "0"), [0])
        self.assertEqual(self.results(lines, "thread", "1"), ["EAGAIN"])
        self.assertEqual(self.results(lines, "thread", "2"), [0])
        self.assertEqual(self.failed(lines), {("thread", "1")})

        lines = self.seq(op="pthread_create", errno="EPERM", count=0)
        self.assertEqual([self.value(lines, "thread", str(i)) for i in range(3)],
                         ["EPERM"] * 3)

    def test_counter_is_shared_across_threads(self):
        log = os.path.join(self.dir, "mt.log")
        out = self.run_helper("mt", 32, 500, op="write", nth=1000, count=10000,
                              log=log).stdout
        self.assertEqual(out, "mt failed 10000\n")
        with open(log) as f:
            logged = f.read().splitlines()
        self.assertEqual(sorted(int(l.split()[1]) for l in logged),
                         list(range(1000, 11000)))
        self.assertTrue(all(l.split()[0] == "write" for l in logged))

    def test_bad_settings_abort(self):
        for fault in [{"op": "wirte"}, {"op": "write", "nth": 0},
                      {"op": "write", "errno": "EWHAT"}, {"op": "write", "count": "-1"}]:
            with self.subTest(**fault):
                proc = self.run_helper(check=False, **fault)
                self.assertEqual(proc.returncode, 127)
                self.assertIn("fault_inject: bad", proc.stderr)


if __name__ == "__main__":
    unittest.main()
