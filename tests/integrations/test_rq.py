"""RQ with the korvane serializer: an `rq worker --burst` in a subprocess."""

import subprocess
import sys

from integrations.conftest import require

require("rq", "rq")

import redis  # noqa: E402
import rq  # noqa: E402

from integrations.conftest import ROOT, child_env  # noqa: E402
from korvane.integrations.rq import Serializer  # noqa: E402
from tests.integrations.rq_tasks import Order, ship, touch  # noqa: E402

# The `rq` command, whose burst worker would linger at exit for the 60 s
# that its control-channel thread sleeps between polls (RQ 3.0 with
# redis-py 8): the thread polls every 0.1 s here.
CLI = """
import sys
import redis.client
from rq.cli import main
run = redis.client.PubSub.run_in_thread
def polling(self, sleep_time=0, **kw):
    return run(self, 0.1, **kw)
redis.client.PubSub.run_in_thread = polling
sys.argv[0] = "rq"
main()
"""


def test_a_burst_worker_runs_korvane_jobs_and_refuses_pickled_ones(redis_url, tmp_path):
    url = redis_url + "/5"
    conn = redis.Redis.from_url(url)
    conn.flushdb()
    queue = rq.Queue("korvane", connection=conn, serializer=Serializer)
    line = ["widget"]
    good = queue.enqueue(ship, Order(1, [line, line]), {"k": (1, 2)})
    marker = tmp_path / "ran"
    pickled = rq.Queue("korvane", connection=conn).enqueue(touch, str(marker))
    proc = subprocess.run(
        [sys.executable, "-c", CLI, "worker", "--burst", "--url", url]
        + ["--serializer", "korvane.integrations.rq.Serializer", "korvane"],
        cwd=ROOT,
        env=child_env(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    good = rq.job.Job.fetch(good.id, connection=conn, serializer=Serializer)
    assert good.get_status() == "finished"
    result = good.return_value()
    assert (
        result == Order(2, [{"k": (1, 2)}] * 2) and result.lines[0] is result.lines[1]
    )
    assert not marker.exists()  # the pickled job never ran
    failed = rq.job.Job.fetch(pickled.id, connection=conn, serializer=Serializer)
    assert failed.get_status() == "failed"
    assert "refusing a pickle payload" in proc.stderr
