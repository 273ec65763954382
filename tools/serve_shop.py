#!/usr/bin/env python3
"""Serves the shop example (examples/shop) on this machine.

Starts a throwaway PostgreSQL cluster loaded with the shop's data, lays the
site out in a temporary folder (the page and kova-front.js as the document
root, kova as app/kova.cgi with a token-checking KOVA.config, the sign-in
installation beside it, outside the document root) and starts lighttpd on
a loopback port. Prints "URL http://127.0.0.1:PORT/" when the site
answers, then serves until its standard input closes, Ctrl-C or SIGTERM;
then it stops lighttpd and the cluster and removes the folder.
"""

import argparse
import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(ROOT, "examples", "shop")
sys.path.insert(0, os.path.join(ROOT, "tests", "db"))
import cluster  # noqa: E402

MIME_TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
              ".css": "text/css; charset=utf-8"}


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def write(path, text):
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)


def lay_out(site, kova, server):
    www = os.path.join(site, "www")
    shutil.copytree(os.path.join(EXAMPLE, "www"), www)
    shutil.copy(os.path.join(ROOT, "front", "kova-front.js"), www)
    shutil.copy(os.path.join(EXAMPLE, "signin.cgi"), www)
    modules = os.path.join(site, "modules")
    shutil.copytree(os.path.join(EXAMPLE, "modules"), modules)
    app = os.path.join(www, "app")
    os.makedirs(app)
    shutil.copy(kova, os.path.join(app, "kova.cgi"))
    write(os.path.join(app, "KOVA.config"),
          "MODULE_DIR = %s\nLOGFILE = %s\nDEBUG_PORT =\nTOKEN_KEY = \"%s\"\nTIME_INTERVAL = 1800\nVAR = 'db_params':'%s'\n"
          % (os.path.join(modules, "app"), os.path.join(site, "shop.log"), secrets.token_hex(8), server.parameters()))
    signin = os.path.join(site, "signin")
    os.makedirs(signin)
    shutil.copy(kova, os.path.join(signin, "kova"))
    signin_parameters = "host=127.0.0.1;port=%d;db=%s;user=shop_signin;pwd=signin-secret" % (server.port, cluster.DATABASE)
    write(os.path.join(signin, "KOVA.config"),
          "MODULE_DIR = %s\nLOGFILE = %s\nDEBUG_PORT =\nVAR = 'signin_db_params':'%s'\n"
          % (os.path.join(modules, "signin"), os.path.join(site, "signin.log"), signin_parameters))
    return www


def lighttpd_config(site, www, port):
    passed = [k for k in ("ASAN_OPTIONS", "UBSAN_OPTIONS") if k in os.environ]
    environment = ""
    if passed:
        environment = "setenv.add-environment = (%s)\n" % ", ".join('"%s" => "%s"' % (k, os.environ[k]) for k in passed)
    path = os.path.join(site, "lighttpd.conf")
    write(path,
          'server.document-root = "%s"\n' % www
          + 'server.bind = "127.0.0.1"\n'
          + "server.port = %d\n" % port
          + 'server.modules = ("mod_access", "mod_setenv", "mod_cgi")\n'
          + 'server.errorlog = "%s"\n' % os.path.join(site, "lighttpd-error.log")
          + 'index-file.names = ("index.html")\n'
          + 'url.access-deny = (".config", ".log")\n'
          + 'cgi.assign = (".cgi" => "")\n'
          + "mimetype.assign = (%s)\n" % ", ".join('"%s" => "%s"' % item for item in MIME_TYPES.items())
          + environment)
    return path


def wait_until_listening(process, port):
    deadline = time.time() + 10
    while time.time() < deadline:
        if process.poll() is not None:
            raise RuntimeError("lighttpd ended at start: %s" % process.stdout.read().decode(errors="replace"))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("lighttpd did not listen on port %d" % port)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--kova", required=True, help="the kova program to install")
    parser.add_argument("--port", type=int, default=0, help="loopback port (default: a free one)")
    options = parser.parse_args()
    lighttpd = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

    server = cluster.Cluster()
    site = tempfile.mkdtemp(prefix="kova-shop-")
    os.chmod(site, 0o755)
    process = None
    try:
        server.start()
        server.psql_file(os.path.join(EXAMPLE, "data.sql"))
        www = lay_out(site, os.path.abspath(options.kova), server)
        port = options.port or free_port()
        process = subprocess.Popen([lighttpd, "-D", "-f", lighttpd_config(site, www, port)],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        wait_until_listening(process, port)
        print("URL http://127.0.0.1:%d/" % port, flush=True)
        print("Sign in as demo / demo-password. Ctrl-C (or end of input) stops the site.", flush=True)
        try:
            sys.stdin.read()
        except KeyboardInterrupt:
            pass
    finally:
        if process is not None and process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if process is not None and os.environ.get("KOVA_SHOP_LOGS"):
            for name in ("lighttpd-error.log", "shop.log", "signin.log"):
                log = os.path.join(site, name)
                if os.path.exists(log):
                    with open(log, encoding="utf-8", errors="replace") as handle:
                        sys.stderr.write("--- %s\n%s\n" % (name, handle.read()[-4000:]))
        server.stop()
        shutil.rmtree(site, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
