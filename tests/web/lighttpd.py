"""lighttpd for tests: its configuration in a temporary folder, the
server on a free loopback port with mod_cgi running ".cgi" files, the
sanitizer options passed on to the CGI programs; stopped at the end."""

import os
import socket
import subprocess
import time


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Lighttpd:
    def __init__(self, root, document_root, denied=(".config",)):
        self.port = free_port()
        self.config = os.path.join(root, "lighttpd.conf")
        self.error_log = os.path.join(root, "lighttpd-error.log")
        environment = ""
        passed = [k for k in ("ASAN_OPTIONS", "UBSAN_OPTIONS") if k in os.environ]
        if passed:
            environment = "setenv.add-environment = (%s)\n" % ", ".join(
                '"%s" => "%s"' % (k, os.environ[k]) for k in passed)
        with open(self.config, "w") as handle:
            handle.write(
                'server.document-root = "%s"\n' % document_root
                + 'server.bind = "127.0.0.1"\n'
                + "server.port = %d\n" % self.port
                + 'server.modules = ("mod_access", "mod_setenv", "mod_cgi")\n'
                + 'server.errorlog = "%s"\n' % self.error_log
                + "url.access-deny = (%s)\n" % ", ".join('"%s"' % d for d in denied)
                + 'cgi.assign = (".cgi" => "")\n'
                + environment)
        self.process = None

    def start(self):
        self.process = subprocess.Popen(["lighttpd", "-D", "-f", self.config],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        deadline = time.time() + 10
        while time.time() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("lighttpd ended at start: %s" % self.process.stdout.read().decode())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("lighttpd did not listen on port %d" % self.port)

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
