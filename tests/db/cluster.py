"""A throwaway PostgreSQL 15 cluster for tests and benchmarks.

The cluster lives in a temporary folder, listens only on 127.0.0.1 on a free
port (and on a Unix socket inside the folder), requires a password
(scram-sha-256) and is stopped and removed by stop(). When the process runs
as root, the server's commands run as the postgres user, since PostgreSQL
refuses to run as root.
"""

import os
import shutil
import socket
import subprocess
import tempfile
import time

BIN_DIR = "/usr/lib/postgresql/15/bin"
USER = "kova"
PASSWORD = "kova-test-pw"
DATABASE = "kovatest"


class ClusterError(Exception):
    pass


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cluster:
    def __init__(self):
        for tool in ("initdb", "pg_ctl", "psql"):
            if not os.access(os.path.join(BIN_DIR, tool), os.X_OK):
                raise ClusterError("PostgreSQL 15 is not installed (%s/%s missing): "
                                   "install postgresql-15" % (BIN_DIR, tool))
        self.root = tempfile.mkdtemp(prefix="kova-pg-")
        os.chmod(self.root, 0o755)
        self.data = os.path.join(self.root, "data")
        self.log = os.path.join(self.root, "server.log")
        self.port = free_port()
        self.running = False
        self.as_postgres = os.geteuid() == 0
        if self.as_postgres:
            shutil.chown(self.root, "postgres", "postgres")

    def _server_command(self, arguments, **options):
        command = [os.path.join(BIN_DIR, arguments[0])] + arguments[1:]
        if self.as_postgres:
            command = ["runuser", "-u", "postgres", "--"] + command
        return subprocess.run(command, capture_output=True, text=True, **options)

    def start(self):
        password_file = os.path.join(self.root, "pw")
        with open(password_file, "w") as handle:
            handle.write(PASSWORD + "\n")
        if self.as_postgres:
            shutil.chown(password_file, "postgres", "postgres")
        done = self._server_command(["initdb", "-D", self.data, "-U", USER, "--pwfile", password_file,
                                     "--auth", "scram-sha-256", "--encoding", "UTF8", "--locale", "C"])
        os.unlink(password_file)
        if done.returncode != 0:
            raise ClusterError("initdb failed:\n" + done.stdout + done.stderr)
        self.resume()
        self.psql("CREATE DATABASE %s" % DATABASE, database="postgres")

    def resume(self):
        options = "-c listen_addresses=127.0.0.1 -p %d -k %s -c fsync=off" % (self.port, self.root)
        done = self._server_command(["pg_ctl", "start", "-D", self.data, "-l", self.log, "-w", "-t", "60",
                                     "-o", options])
        if done.returncode != 0:
            raise ClusterError("the server did not start:\n" + done.stdout + done.stderr + self.server_log())
        self.running = True

    def halt(self, mode="fast"):
        done = self._server_command(["pg_ctl", "stop", "-D", self.data, "-m", mode, "-w", "-t", "60"])
        if done.returncode != 0:
            raise ClusterError("the server did not stop:\n" + done.stdout + done.stderr)
        self.running = False

    def stop(self):
        try:
            if self.running:
                self.halt("fast")
        finally:
            shutil.rmtree(self.root, ignore_errors=True)

    def server_log(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as handle:
                return handle.read()
        except OSError:
            return ""

    def parameters(self):
        """The connection parameter text of a script's openDb."""
        return "host=127.0.0.1;port=%d;db=%s;user=%s;pwd=%s" % (self.port, DATABASE, USER, PASSWORD)

    def psql(self, sql, database=DATABASE):
        """Runs SQL through psql over TCP; returns its unaligned output."""
        environment = dict(os.environ, PGPASSWORD=PASSWORD)
        done = subprocess.run(
            [os.path.join(BIN_DIR, "psql"), "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
             "-h", "127.0.0.1", "-p", str(self.port), "-U", USER, "-d", database, "-c", sql],
            capture_output=True, text=True, env=environment, timeout=60)
        if done.returncode != 0:
            raise ClusterError("psql failed on %r:\n%s" % (sql, done.stderr))
        return done.stdout

    def psql_file(self, path):
        environment = dict(os.environ, PGPASSWORD=PASSWORD)
        done = subprocess.run(
            [os.path.join(BIN_DIR, "psql"), "-X", "-q", "-v", "ON_ERROR_STOP=1",
             "-h", "127.0.0.1", "-p", str(self.port), "-U", USER, "-d", DATABASE, "-f", path],
            capture_output=True, text=True, env=environment, timeout=120)
        if done.returncode != 0:
            raise ClusterError("psql failed on %s:\n%s" % (path, done.stderr))

    def wait_for(self, sql, timeout=20.0):
        """Polls until the query returns a non-empty result; False on time-out."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.psql(sql).strip():
                return True
            time.sleep(0.05)
        return False
