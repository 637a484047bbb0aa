#!/usr/bin/env python3
"""Kills the quilo tool with SIGKILL at random instants and checks what it leaves.

    scripts/killharness.py --quilo build/tools/quilo [--kills N] [--seed S]
    scripts/killharness.py --quilo build/tools/quilo --measure-resume MIB [--at 0.7]

Each round takes one command (put of a large file, get in one stream, get in ranges, sync up,
sync down, rm -r), gives the source a new version, starts the command, kills it after a random
delay (seeded; the seed is printed) and checks, against RGW and the file system:
  - every destination is as it was or complete: an object is its old or its new version, a
    local file its old or its new bytes, never a mix; nothing is half there under its name;
  - nothing outside the command's target (other keys, a sibling directory) changed;
then runs the same command again to its end and checks that everything is the new version, no
temporary download file is left, and no multipart upload is left for the keys written, except
one killed while being initiated, which no journal can name yet (counted, then aborted, as a
user would with the listing of uploads in progress).

--measure-resume uploads a file of MIB MiB through a proxy that counts the bytes each way,
kills the upload once that count passes the given share of the file, runs it again, and prints
the share of the file that the second run sent; then the same for its download.

Reads the endpoint and keys from QUILO_TEST_RGW_HOST, QUILO_TEST_ACCESS_KEY and
QUILO_TEST_SECRET_KEY (scripts/servers.sh writes them to .run/servers.env).
"""

import argparse
import asyncio
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import boto3
import botocore.config

MIB = 1 << 20
TEMPORARY = re.compile(r"^\..+\.[0-9a-f]{32}\.(download|partial)$")


def md5(data):
    return hashlib.md5(data).hexdigest()


def file_md5(path):
    with open(path, "rb") as f:
        return md5(f.read())


class World:
    """The bucket, the local directories and the tool's environment."""

    def __init__(self, quilo, root, endpoint, bucket):
        self.quilo, self.root, self.bucket = quilo, root, bucket
        self.env = dict(os.environ)
        self.env.update({
            "AWS_ENDPOINT_URL": endpoint,
            "AWS_ACCESS_KEY_ID": os.environ["QUILO_TEST_ACCESS_KEY"],
            "AWS_SECRET_ACCESS_KEY": os.environ["QUILO_TEST_SECRET_KEY"],
            "AWS_REGION": "us-east-1",
            "AWS_CONFIG_FILE": "/nonexistent/config",
            "AWS_SHARED_CREDENTIALS_FILE": "/nonexistent/credentials",
            "XDG_CACHE_HOME": os.path.join(root, "cache"),
        })
        self.s3 = boto3.client(
            "s3", endpoint_url="http://" + os.environ["QUILO_TEST_RGW_HOST"],
            aws_access_key_id=os.environ["QUILO_TEST_ACCESS_KEY"],
            aws_secret_access_key=os.environ["QUILO_TEST_SECRET_KEY"], region_name="us-east-1",
            config=botocore.config.Config(s3={"addressing_style": "path"}))
        self.s3.create_bucket(Bucket=bucket)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def start(self, args):
        return subprocess.Popen([self.quilo, "--no-progress", *args], env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def run(self, args):
        result = subprocess.run([self.quilo, "--no-progress", *args], env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        return result.returncode, result.stderr.decode(errors="replace")

    def objects(self, prefix):
        found = {}
        for page in self.s3.get_paginator("list_objects_v2").paginate(Bucket=self.bucket,
                                                                      Prefix=prefix):
            for item in page.get("Contents", []):
                try:
                    body = self.s3.get_object(Bucket=self.bucket, Key=item["Key"])["Body"].read()
                except self.s3.exceptions.NoSuchKey:
                    continue  # deleted since it was listed
                found[item["Key"]] = md5(body)
        return found

    def uploads(self, prefix):
        answer = self.s3.list_multipart_uploads(Bucket=self.bucket, Prefix=prefix)
        return {(u["Key"], u["UploadId"]) for u in answer.get("Uploads", [])}

    def abort(self, uploads):
        for key, upload_id in uploads:
            self.s3.abort_multipart_upload(Bucket=self.bucket, Key=key, UploadId=upload_id)

    def journals(self):
        directory = self.path("cache", "quilo")
        return sorted(os.listdir(directory)) if os.path.isdir(directory) else []


def local_files(directory):
    """Every file below `directory`, by relative path: MD5 for the real ones, None for
    temporary downloads."""
    found = {}
    for base, _, names in os.walk(directory):
        for name in names:
            relative = os.path.relpath(os.path.join(base, name), directory)
            found[relative] = None if TEMPORARY.match(name) else file_md5(os.path.join(base, name))
    return found


def new_version(path, size, rng):
    """Rewrites a stretch of the file at a random place, or makes it, so that its bytes and
    modification time change."""
    if not os.path.exists(path) or os.path.getsize(path) != size:
        with open(path, "wb") as f:
            f.write(rng.randbytes(size))
        return
    with open(path, "r+b") as f:
        f.seek(rng.randrange(size))
        f.write(rng.randbytes(4096))


class Scenario:
    """One command against one target. prepare() gives the source a new version and returns
    what each destination may hold after a kill; check() compares."""

    def __init__(self, world, name):
        self.world, self.name = world, name
        self.prefix = name + "/"
        self.local = world.path(name)
        os.makedirs(self.local, exist_ok=True)

    def problems_after_kill(self, allowed, state):
        problems = []
        for where, value in state.items():
            if value is None:
                continue  # a temporary download: picked up or cleaned by the next run
            choices = allowed.get(where)
            if choices is None or value not in choices:
                problems.append(f"{where} holds {value}, expected one of {choices}")
        for where, choices in allowed.items():
            if where not in state and None not in choices:
                problems.append(f"{where} is missing")
        return problems

    def problems_after_run(self, expected, state):
        problems = [f"{w} is left behind" for w, v in state.items() if v is None]
        real = {w: v for w, v in state.items() if v is not None}
        if real != expected:
            problems.append(f"state {real} differs from {expected}")
        return problems


class Upload(Scenario):
    """put of one file in parts, or sync of a tree up; objects on the service are the target."""

    def __init__(self, world, name, sizes, tree, rng):
        super().__init__(world, name)
        self.sizes, self.tree, self.rng = sizes, tree, rng

    def prepare(self):
        before = self.world.objects(self.prefix)
        for i, size in enumerate(self.sizes):
            path = os.path.join(self.local, f"f{i}")
            if i == 0 or not os.path.exists(path) or self.rng.random() < 0.5:
                new_version(path, size, self.rng)
        after = {self.prefix + n: file_md5(os.path.join(self.local, n))
                 for n in os.listdir(self.local)}
        self.expected = after
        return {k: {before.get(k), v} for k, v in after.items()}

    def args(self):
        if self.tree:
            return ["sync", self.local, f"s3://{self.world.bucket}/{self.prefix}"]
        return ["put", os.path.join(self.local, "f0"), f"s3://{self.world.bucket}/{self.prefix}f0"]

    def state(self):
        return self.world.objects(self.prefix)


class Download(Scenario):
    """get of one object (in one stream or in ranges), or sync of a prefix down; files are the
    target."""

    def __init__(self, world, name, sizes, tree, rng):
        super().__init__(world, name)
        self.sizes, self.tree, self.rng = sizes, tree, rng
        self.source = world.path(name + "-source")
        os.makedirs(self.source, exist_ok=True)

    def prepare(self):
        before = {k: v for k, v in local_files(self.local).items() if v is not None}
        for i, size in enumerate(self.sizes):
            path = os.path.join(self.source, f"f{i}")
            if i == 0 or not os.path.exists(path) or self.rng.random() < 0.5:
                new_version(path, size, self.rng)
                self.world.s3.upload_file(path, self.world.bucket, f"{self.prefix}f{i}")
        names = [f"f{i}" for i in range(len(self.sizes) if self.tree else 1)]
        self.expected = {n: file_md5(os.path.join(self.source, n)) for n in names}
        return {n: {before.get(n), v} for n, v in self.expected.items()}

    def args(self):
        if self.tree:
            return ["sync", f"s3://{self.world.bucket}/{self.prefix}", self.local]
        return ["get", f"s3://{self.world.bucket}/{self.prefix}f0", os.path.join(self.local, "f0")]

    def state(self):
        return local_files(self.local)


class RemoveTree(Scenario):
    """rm -r of a prefix: each key is gone or still whole."""

    def __init__(self, world, name, count, rng):
        super().__init__(world, name)
        self.count, self.rng = count, rng

    def prepare(self):
        bodies = {f"{self.prefix}k{i:04d}": self.rng.randbytes(100) for i in range(self.count)}
        for key, body in bodies.items():
            self.world.s3.put_object(Bucket=self.world.bucket, Key=key, Body=body)
        self.expected = {}
        return {k: {None, md5(b)} for k, b in bodies.items()}

    def args(self):
        return ["rm", "-r", f"s3://{self.world.bucket}/{self.prefix}"]

    def state(self):
        return self.world.objects(self.prefix)


class Harness:
    def __init__(self, world, rng, scenarios):
        self.world, self.rng, self.scenarios = world, rng, scenarios
        self.durations = {}
        self.failures, self.orphans, self.kills, self.finished_first = [], 0, 0, 0
        self.leftovers = 0  # temporary files found right after a kill, then cleaned
        self.resumed = 0  # journals found right after a kill, then gone
        self.stale = 0  # journals left after the next run
        outside = world.path("outside")
        os.makedirs(outside, exist_ok=True)
        with open(os.path.join(outside, "keep"), "wb") as f:
            f.write(b"outside the target")
        world.s3.put_object(Bucket=world.bucket, Key="outside/keep", Body=b"outside the target")
        self.outside = (local_files(outside), world.objects("outside/"))

    def duration(self, scenario):
        """How long the command takes when left alone, to spread the kills over."""
        if scenario.name not in self.durations:
            scenario.prepare()
            began = time.monotonic()
            code, err = self.world.run(scenario.args())
            if code != 0:
                raise SystemExit(f"{scenario.name}: {scenario.args()} failed: {err}")
            self.durations[scenario.name] = time.monotonic() - began
        return self.durations[scenario.name]

    def fail(self, round_, scenario, stage, problems):
        for problem in problems:
            self.failures.append(f"round {round_} {scenario.name} {stage}: {problem}")
            print("FAIL " + self.failures[-1], flush=True)

    def round(self, number):
        scenario = self.rng.choice(self.scenarios)
        delay = self.rng.uniform(0.0, 1.1 * self.duration(scenario))
        allowed = scenario.prepare()
        process = self.world.start(scenario.args())
        time.sleep(delay)
        finished = process.poll() is not None
        process.kill()
        process.wait()
        # What the killed process had sent is still carried out by the service: let it land.
        time.sleep(0.3)
        self.kills += 1
        self.finished_first += finished
        state = scenario.state()
        self.leftovers += sum(1 for v in state.values() if v is None)
        self.resumed += len(self.world.journals())
        self.fail(number, scenario, "after the kill", scenario.problems_after_kill(allowed, state))
        uploads_after_kill = self.world.uploads(scenario.prefix)
        code, err = self.world.run(scenario.args())
        if code != 0:
            self.fail(number, scenario, "the next run", [f"exit {code}: {err.strip()}"])
        expected = scenario.expected
        if isinstance(scenario, Download):
            expected = {n: v for n, v in expected.items()}
        self.fail(number, scenario, "after the next run",
                  scenario.problems_after_run(expected, scenario.state()))
        left = self.world.uploads(scenario.prefix)
        self.orphans += len(left & uploads_after_kill)
        self.fail(number, scenario, "after the next run",
                  [f"upload {u} was started by the next run and left" for u in left -
                   uploads_after_kill])
        self.world.abort(left)
        # A download killed between moving its file into place and removing its journal leaves
        # a journal naming no file, which a sync with nothing to do never reads; an upload's
        # would name an upload in progress, which the check above finds.
        if self.world.journals():
            self.stale += len(self.world.journals())
            for name in self.world.journals():
                with open(self.world.path("cache", "quilo", name)) as f:
                    print(f"round {number}: journal left after the next run: {name}: {f.read()!r}")
            print(f"  beside: {sorted(os.listdir(scenario.local))}", flush=True)
            shutil.rmtree(self.world.path("cache", "quilo"))
        if (local_files(self.world.path("outside")), self.world.objects("outside/")) != self.outside:
            self.fail(number, scenario, "outside", ["something outside the target changed"])
        print(f"round {number}: {scenario.name} killed after {delay:.2f}s"
              f"{' (it had finished)' if finished else ''}", flush=True)


def measure_resume(world, mib, share):
    """The share of a file of `mib` MiB that an upload, then a download, killed once `share` of
    it has gone through the proxy, moves again when run a second time."""
    path = world.path("resume.bin")
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(os.urandom(MIB))
    size = mib * MIB
    proxy = CountingProxy(os.environ["QUILO_TEST_RGW_HOST"])
    world.env["AWS_ENDPOINT_URL"] = "http://" + proxy.address
    ok = True
    for name, args, direction in [
            ("upload", ["put", path, f"s3://{world.bucket}/resume.bin"], "sent"),
            ("download", ["get", f"s3://{world.bucket}/resume.bin", world.path("back.bin")],
             "received")]:
        proxy.sent = proxy.received = 0
        process = world.start(args)
        while getattr(proxy, direction) < share * size and process.poll() is None:
            time.sleep(0.005)
        process.kill()
        process.wait()
        time.sleep(0.3)
        first = getattr(proxy, direction)
        left = sorted(os.listdir(world.root))
        proxy.sent = proxy.received = 0
        began = time.monotonic()
        code, err = world.run(args)
        second = getattr(proxy, direction)
        print(f"{name}: killed after {first / MIB:.1f} MiB of {mib} MiB ({first / size:.1%}); "
              f"the next run moved {second / MIB:.1f} MiB ({second / size:.1%}) in "
              f"{time.monotonic() - began:.1f}s, exit {code}; left after the kill: "
              f"{len(world.journals())} journals now, {len(world.uploads(''))} uploads now, "
              f"files then: {left}")
        ok = ok and code == 0
        if code != 0:
            print(err)
    back = world.path("back.bin")
    same = os.path.exists(back) and file_md5(back) == file_md5(path)
    print(f"the file downloaded is the file uploaded: {same}")
    return ok and same


class CountingProxy:
    """A TCP relay to `upstream` that counts the bytes that go through it each way."""

    def __init__(self, upstream):
        self.host, port = upstream.rsplit(":", 1)
        self.port = int(port)
        self.sent = self.received = 0
        ready = threading.Event()
        threading.Thread(target=self._serve, args=(ready,), daemon=True).start()
        ready.wait()

    def _serve(self, ready):
        async def pipe(reader, writer, up):
            try:
                while data := await reader.read(1 << 16):
                    if up:
                        self.sent += len(data)
                    else:
                        self.received += len(data)
                    writer.write(data)
                    await writer.drain()
            except (ConnectionError, OSError):
                pass
            finally:
                writer.close()

        async def client(reader, writer):
            try:
                up_reader, up_writer = await asyncio.open_connection(self.host, self.port)
            except OSError:
                writer.close()
                return
            await asyncio.gather(pipe(reader, up_writer, True), pipe(up_reader, writer, False))

        async def main():
            server = await asyncio.start_server(client, "127.0.0.1", 0)
            self.address = "127.0.0.1:%d" % server.sockets[0].getsockname()[1]
            ready.set()
            await server.serve_forever()

        asyncio.run(main())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quilo", required=True)
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--small", action="store_true", help="smaller files, for CI")
    parser.add_argument("--measure-resume", type=int, metavar="MIB")
    parser.add_argument("--at", type=float, default=0.7)
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    parser.add_argument("--only", help="run this scenario alone (put, sync-up, get-stream, "
                        "get-ranged, sync-down, rm)")
    options = parser.parse_args()
    seed = options.seed if options.seed is not None else random.randrange(1 << 32)
    print(f"seed {seed}", flush=True)
    rng = random.Random(seed)
    root = tempfile.mkdtemp(prefix="quilo-kill-")
    bucket = f"kill-{seed % 100000}-{os.getpid()}"
    world = World(os.path.abspath(options.quilo), root, "http://" +
                  os.environ["QUILO_TEST_RGW_HOST"], bucket)
    try:
        if options.measure_resume:
            return 0 if measure_resume(world, options.measure_resume, options.at) else 1
        big = (70 if options.small else 100) * MIB
        scenarios = [
            Upload(world, "put", [big], False, rng),
            Upload(world, "sync-up", [big] + [1000 + i for i in range(30)], True, rng),
            Download(world, "get-stream", [40 * MIB], False, rng),
            Download(world, "get-ranged", [big], False, rng),
            Download(world, "sync-down", [big] + [1000 + i for i in range(30)], True, rng),
            RemoveTree(world, "rm", 100 if options.small else 300, rng),
        ]
        if options.only:
            scenarios = [s for s in scenarios if s.name == options.only]
        harness = Harness(world, rng, scenarios)
        for number in range(1, options.kills + 1):
            harness.round(number)
        print(f"seed {seed}: {harness.kills} kills ({harness.finished_first} after the command "
              f"had finished), {len(harness.failures)} failures; temporary files found after a "
              f"kill and cleaned by the next run: {harness.leftovers}; journals found after a "
              f"kill: {harness.resumed}, left after the next run: {harness.stale}; uploads a kill left "
              f"unnamed: {harness.orphans}")
        return 1 if harness.failures else 0
    finally:
        for key, upload_id in world.uploads(""):
            world.s3.abort_multipart_upload(Bucket=bucket, Key=key, UploadId=upload_id)
        for page in world.s3.get_paginator("list_objects_v2").paginate(Bucket=bucket):
            for item in page.get("Contents", []):
                world.s3.delete_object(Bucket=bucket, Key=item["Key"])
        world.s3.delete_bucket(Bucket=bucket)
        if not options.keep:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
