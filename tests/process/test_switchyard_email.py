"""An operator's test e-mail request travels switchyard -> pipe -> daemon ->
SMTP server."""

import subprocess

import pytest

from tests.harness import smtp, util

pytestmark = pytest.mark.quick  # all fast: in scripts/test.sh --quick


def test_a_test_email_request_reaches_the_smtp_server(tmp_path, start_kestrel):
    server = smtp.SmtpServer(str(tmp_path / "smtp")).start()
    try:
        cluster = ("$ENABLE_ALERTS yes\n$EMAIL_TO ops@cluster.test\n"
                   "$EMAIL_FROM kestrel@cluster.test\n$EMAIL_SERVER %s\n"
                   % server.hostport)
        k = start_kestrel("", cluster).wait_ready()
        r = subprocess.run([util.binary("switchyard"), "-o", k.nodecommands, "-t"],
                           capture_output=True, text=True, timeout=30)
        assert (r.returncode, r.stdout, r.stderr) == (0, "Test email requested\n", "")
        k.wait_stderr("test email requested")
        [mail] = server.wait_messages(1, 20)
        assert mail["mail_from"] == "kestrel@cluster.test"
        assert mail["rcpt_tos"] == ["ops@cluster.test"]
        assert b"Subject: Test: Automatic alert from your Varnholt Cluster" in mail["data"]
        assert b"This is a test email to verify alert functionality" in mail["data"]
    finally:
        server.stop()
