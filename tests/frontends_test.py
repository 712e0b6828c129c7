#!/usr/bin/env python3
"""Real mail front ends wired to the interface daemon through the configurations in examples/.

Debian's amavisd-new (generic socket scanner, examples/amavisd/) or Exim (sock scanner,
examples/exim/) runs as its own process on 127.0.0.1, on a free port, with a private
configuration and spool below a temporary folder; the interface daemon runs with the stand-in
KAV engine in a temporary installation root made by quellar-standin. Mails go in over SMTP
(smtplib); the front end's decision is read from its SMTP reply and, for amavisd, from a local
sink that receives what it passes on.

    frontends_test.py SOURCE_DIR BUILD_DIR amavisd|exim

Exit status 0 passed, 1 failed, 77 skipped (the front end is not installed).
"""
import email.message
import io
import os
import shutil
import signal
import smtplib
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

SKIP = 77
BOUND_S = 30  # every wait of this test


def eicar():
    # Assembled here so that no file of the checkout carries the test string whole.
    return b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


def mail(subject, attachment=None, name=None):
    msg = email.message.EmailMessage()
    msg["From"] = "sender@test.example"
    msg["To"] = "rcpt@test.example"
    msg["Subject"] = subject
    msg.set_content("An ordinary mail part.\n")
    if attachment is not None:
        msg.add_attachment(attachment, maintype="application", subtype="octet-stream",
                           filename=name)
    return msg


def zipped(name, data):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(name, data)
    return out.getvalue()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(check, what):
    deadline = time.monotonic() + BOUND_S
    while time.monotonic() < deadline:
        if check():
            return
        time.sleep(0.1)
    raise RuntimeError("timed out waiting for " + what)


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def read_pid(path):
    try:
        with open(path) as f:
            return int("".join(c for c in f.read() if c.isdigit()))
    except (OSError, ValueError):
        return None


def stop_pid(pid):
    if pid is None:
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + BOUND_S
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.1)
    os.kill(pid, signal.SIGKILL)


class Sink(socketserver.ThreadingTCPServer):
    """The next hop: a minimal SMTP server keeping the subjects of the mails it receives."""
    allow_reuse_address = True
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), SinkHandler)
        self.subjects = []
        self.lock = threading.Lock()
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def received(self):
        with self.lock:
            return list(self.subjects)


class SinkHandler(socketserver.StreamRequestHandler):
    def handle(self):
        self.wfile.write(b"220 sink ESMTP\r\n")
        while True:
            line = self.rfile.readline()
            if not line:
                return
            verb = line[:4].upper()
            if verb == b"DATA":
                self.wfile.write(b"354 go on\r\n")
                body = b""
                while True:
                    chunk = self.rfile.readline()
                    if not chunk or chunk == b".\r\n":
                        break
                    body += chunk
                subject = next((l[9:].strip().decode("ascii", "replace")
                                for l in body.splitlines() if l.startswith(b"Subject: ")), "")
                with self.server.lock:
                    self.server.subjects.append(subject)
                self.wfile.write(b"250 kept\r\n")
            elif verb == b"QUIT":
                self.wfile.write(b"221 bye\r\n")
                return
            elif verb in (b"EHLO", b"HELO"):
                self.wfile.write(b"250 sink\r\n")
            else:
                self.wfile.write(b"250 ok\r\n")


def send(port, msg):
    """The SMTP reply code to the mail's data (250 accepted, 4xx deferred, 5xx refused)."""
    with smtplib.SMTP("127.0.0.1", port, timeout=BOUND_S * 4) as client:
        try:
            client.send_message(msg)
        except smtplib.SMTPDataError as refused:
            return refused.smtp_code, refused.smtp_error.decode("ascii", "replace")
        except smtplib.SMTPRecipientsRefused as refused:
            code, text = next(iter(refused.recipients.values()))
            return code, text.decode("ascii", "replace")
    return 250, ""


class Installation:
    """The interface daemon with the stand-in KAV engine in a temporary installation root."""

    def __init__(self, source, build, tmp, group):
        self.root = os.path.join(tmp, "root")
        opt = self.root + "/opt/Quellar"
        for folder in ("etc/postwick", "sbin", "lib", "var/run"):
            os.makedirs(os.path.join(opt, folder))
        for folder in ("log", "tmp", "quarantine/kestra"):
            os.makedirs(self.root + "/var/Quellar/var/" + folder)
        os.symlink(build + "/bin/qornd", opt + "/sbin/qornd")
        os.symlink(build + "/lib/libavcore.so", opt + "/lib/libavcore.so")
        self.socket = opt + "/var/run/interface"
        with open(opt + "/etc/postwick/interface.conf", "w") as conf:
            # Only the front end's own user (through its group) may connect, as in production.
            conf.write("[postwicker]\nRequestTimeout=10\nPostwickerSocketMode=0660\n"
                       "PostwickerSocketGroup=%s\n" % group)
        self.env = dict(os.environ, QL_ROOT=self.root, QL_ENGINE_TIMEOUT_MS="5000")
        self.interfaced = build + "/bin/interfaced"
        self.standin = source + "/packaging/quellar-standin"
        self.pidfiles = [opt + "/var/run/interface.pid", opt + "/var/run/qornd.pid"]
        subprocess.run([self.standin, "kav"], env=self.env, check=True, stdout=subprocess.DEVNULL)
        subprocess.run([self.interfaced], env=self.env, check=True)

    def stop_engine(self):
        stop_pid(read_pid(self.pidfiles[1]))

    def stop_daemon(self):
        stop_pid(read_pid(self.pidfiles[0]))

    def stop(self):
        for pidfile in self.pidfiles:
            stop_pid(read_pid(pidfile))


def start_amavisd(source, tmp, installation, sink):
    home = os.path.join(tmp, "amavis")
    for folder in ("tmp", "db", "var"):
        os.makedirs(os.path.join(home, folder))
    shutil.chown(home, "amavis", "amavis")
    for folder in ("tmp", "db", "var"):
        shutil.chown(os.path.join(home, folder), "amavis", "amavis")
    port = free_port()
    conf = os.path.join(tmp, "amavisd.conf")
    with open(conf, "w") as f:
        f.write(f"""use strict;
include_config_files('/etc/amavis/conf.d/01-debian');  # the distribution's program paths
$MYHOME = '{home}';
$TEMPBASE = "$MYHOME/tmp"; $db_home = "$MYHOME/db"; $helpers_home = "$MYHOME/var";
$pid_file = "$MYHOME/var/amavisd.pid"; $lock_file = "$MYHOME/var/amavisd.lock";
$daemon_user = 'amavis'; $daemon_group = 'amavis';
$myhostname = 'amavis.test.example'; $mydomain = 'test.example';
$max_servers = 1; $child_timeout = 60;
$inet_socket_bind = '127.0.0.1'; $inet_socket_port = {port}; @inet_acl = qw(127.0.0.1);
$forward_method = 'smtp:[127.0.0.1]:{sink.server_address[1]}'; $notify_method = $forward_method;
$DO_SYSLOG = 0; $LOGFILE = "$MYHOME/amavis.log"; $log_level = 2;
$enable_db = 0; $enable_global_cache = 0;
$enable_dkim_verification = 0; $enable_dkim_signing = 0;
@bypass_spam_checks_maps = (1); @bypass_banned_checks_maps = (1);
@bypass_header_checks_maps = (1);
$final_virus_destiny = D_REJECT; $final_banned_destiny = D_PASS;
$final_spam_destiny = D_PASS; $final_bad_header_destiny = D_PASS;
$QUARANTINEDIR = undef; $virus_quarantine_method = undef; $virus_admin = undef;
$warnvirusrecip = 0; $warnvirussender = 0;
@local_domains_maps = (['.']);
include_config_files('{source}/examples/amavisd/40-quellar');
$av_scanners[0][2][1] = '{installation.socket}';
1;
""")
    os.chmod(conf, 0o644)
    process = subprocess.Popen(["amavisd", "-c", conf, "foreground"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.STDOUT)
    wait_until(lambda: listening(port) or process.poll() is not None, "amavisd to listen")
    if process.poll() is not None:
        raise RuntimeError("amavisd ended: " + open(home + "/amavis.log").read()[-2000:])
    return process, port, home + "/amavis.log"


def start_exim(source, tmp, installation):
    home = os.path.join(tmp, "exim")
    for folder in ("spool", "log"):
        os.makedirs(os.path.join(home, folder))
        shutil.chown(os.path.join(home, folder), "Debian-exim", "Debian-exim")
    port = free_port()
    conf = os.path.join(tmp, "exim.conf")
    with open(conf, "w") as f:
        f.write(f"""primary_hostname = exim.test.example
spool_directory = {home}/spool
log_file_path = {home}/log/%slog
pid_file_path = {home}/exim.pid
daemon_smtp_ports = {port}
local_interfaces = 127.0.0.1
# Accepted mail stays in the spool: the decision is all this test looks at.
queue_only = true
acl_smtp_rcpt = acl_rcpt
acl_smtp_data = acl_data
QUELLAR_SOCKET = {installation.socket}
.include {source}/examples/exim/quellar-main.conf

begin acl
acl_rcpt:
  accept
acl_data:
.include {source}/examples/exim/quellar-acl-data.conf
  accept

begin routers
begin transports
""")
    os.chmod(conf, 0o644)
    process = subprocess.Popen(["exim4", "-C", conf, "-bdf"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.STDOUT)
    wait_until(lambda: listening(port) or process.poll() is not None, "exim to listen")
    if process.poll() is not None:
        raise RuntimeError("exim ended with status %d" % process.returncode)
    return process, port, home + "/log/mainlog"


def decisions(front, source, build, tmp):
    """(label, expected, got) for each mail."""
    installation = Installation(source, build, tmp,
                                "amavis" if front == "amavisd" else "Debian-exim")
    sink = Sink() if front == "amavisd" else None
    process = None
    try:
        if front == "amavisd":
            process, port, log = start_amavisd(source, tmp, installation, sink)
        else:
            process, port, log = start_exim(source, tmp, installation)
        rows = []
        if front == "amavisd":
            cases = [("clean", mail("clean"), "passed"),
                     ("EICAR attachment", mail("eicar", eicar(), "eicar.com"), "blocked 554"),
                     ("EICAR inside zip", mail("zip", zipped("eicar.com", eicar()), "x.zip"),
                      "blocked 554")]
        else:
            cases = [("clean", mail("clean"), "accepted"),
                     ("EICAR plain", plain_eicar_mail(), "rejected 550"),
                     ("EICAR base64 attachment", mail("eicar", eicar(), "eicar.com"),
                      "rejected 550")]
        for label, msg, expected in cases:
            rows.append((label, expected, verdict(front, send(port, msg), sink, msg["Subject"])))
        deferred = "deferred 451"
        for label, stop in (("engine stopped", installation.stop_engine),
                            ("daemon stopped", installation.stop_daemon)):
            stop()
            msg = mail(label)
            rows.append((label, deferred, verdict(front, send(port, msg), sink, msg["Subject"])))
        return rows, log
    finally:
        if process is not None:
            process.terminate()
            try:
                process.wait(BOUND_S)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        installation.stop()
        if sink is not None:
            sink.shutdown()
            sink.server_close()


def plain_eicar_mail():
    msg = email.message.EmailMessage()
    msg["From"] = "sender@test.example"
    msg["To"] = "rcpt@test.example"
    msg["Subject"] = "plain eicar"
    msg.set_content(eicar().decode("ascii") + "\n", cte="7bit")
    return msg


def verdict(front, reply, sink, subject):
    code, text = reply
    if front == "amavisd":
        if code == 250:
            wait_until(lambda: subject in sink.received(), "the sink to receive " + subject)
            return "passed"
        return "blocked %d" % code if 500 <= code < 600 else "deferred %d" % code
    if code == 250:
        return "accepted"
    kind = "rejected" if 500 <= code < 600 else "deferred"
    return "%s %d" % (kind, code)


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in ("amavisd", "exim"):
        print(__doc__.strip().splitlines()[-3], file=sys.stderr)
        return 2
    source, build, front = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3]
    program = "amavisd" if front == "amavisd" else "exim4"
    if shutil.which(program) is None or os.geteuid() != 0:
        print("SKIP: %s is not installed, or this test does not run as root" % program)
        return SKIP
    tmp = tempfile.mkdtemp(prefix="ql-%s." % front)
    os.chmod(tmp, 0o755)  # the front end's own user reaches the daemon's socket below it
    try:
        rows, log = decisions(front, source, build, tmp)
        failed = [row for row in rows if row[1] != row[2]]
        for label, expected, got in rows:
            print("%-24s expected %-14s got %s" % (label, expected, got))
        if failed:
            print("--- %s log ---\n%s" % (front, open(log, errors="replace").read()[-4000:]))
        print("%d passed, %d failed" % (len(rows) - len(failed), len(failed)))
        return 1 if failed else 0
    finally:
        if os.environ.get("QL_KEEP_TMP"):
            print("kept", tmp)
        else:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
