"""Faults of the download service and of the network path to it: error
statuses, bodies cut short or running on, manifests that lie, redirects to
plain http, certificates nobody trusts, slow servers."""
import os

import pytest

from fault_support import (BAD_DIGEST, BEFORE_INSTALL, HTTP_ERROR, MANIFEST_TOO_LARGE, MISSING_HERE, NEW_RUNNER,
                           SIZE_MISMATCH, UNREACHABLE, Scene, describe, drive, edit_manifest, judge_failure,
                           judge_success, make_installation, quoted_url, second_service, settled_requests,
                           update_args)
from updater_harness import LAUNCHER, MANIFEST, RUNNER_ZIP, launcher_bytes

if MISSING_HERE:
    pytest.skip(f"needs {', '.join(MISSING_HERE)} (run through scripts/test)", allow_module_level=True)

MiB = 1 << 20
# A transfer that had to stop early must stop far below the endless body's
# cap of 2 GiB: what the service managed to push into socket buffers is fine.
EARLY_STOP_LIMIT = 64 * MiB


def wrong_launcher_size(delta):
    return lambda release: edit_manifest(release, launcherSize=release.manifest["launcherSize"] + delta)


def wrong_digest(key):
    def change(release):
        digest = release.manifest[key]
        edit_manifest(release, **{key: ("0" if digest[0] != "0" else "1") + digest[1:]})
    return change


def http_url(release, name):
    return f"{os.environ['VORN_TEST_HTTP']}/{release.name}/{name}"


def https_url(release, name):
    return f"{os.environ['VORN_TEST_HTTPS']}/{release.name}/{name}"


def to_http(name):
    return lambda release: f"redirect=302,to={quoted_url(http_url(release, name))}"


# id, scenario, components, fault on the manifest, fault on both payloads,
# change to the published release, expected message, files requested (in order).
FAILURES = [
    ("manifest-500", "manifest request answered 500", "launcher,runner", "status=500", "", None,
     HTTP_ERROR, [MANIFEST]),
    ("manifest-404", "manifest request answered 404", "launcher,runner", "status=404", "", None,
     HTTP_ERROR, [MANIFEST]),
    ("launcher-500", "launcher download answered 500", "launcher,runner", "", "status=500", None,
     HTTP_ERROR, [MANIFEST, LAUNCHER]),
    ("launcher-404", "launcher download answered 404", "launcher,runner", "", "status=404", None,
     HTTP_ERROR, [MANIFEST, LAUNCHER]),
    ("runner-500", "runner download answered 500 (runner only)", "runner", "", "status=500", None,
     HTTP_ERROR, [MANIFEST, RUNNER_ZIP]),
    ("runner-404", "runner download answered 404 (runner only)", "runner", "", "status=404", None,
     HTTP_ERROR, [MANIFEST, RUNNER_ZIP]),
    ("manifest-dropped", "connection to the manifest dropped without an answer (`drop=1`)", "launcher,runner",
     "drop=1", "", None, UNREACHABLE, [MANIFEST]),
    ("launcher-truncated", "launcher body cut after 1 MiB, connection dropped (`truncate=1048576`)",
     "launcher,runner", "", f"truncate={MiB}", None, SIZE_MISMATCH, [MANIFEST, LAUNCHER]),
    ("runner-truncated", "runner body cut after 1 MiB, connection dropped (`truncate=1048576`, runner only)",
     "runner", "", f"truncate={MiB}", None, SIZE_MISMATCH, [MANIFEST, RUNNER_ZIP]),
    ("launcher-extra", "launcher body 64 KiB longer than announced and than the manifest (`extra=65536`)",
     "launcher,runner", "", "extra=65536", None, SIZE_MISMATCH, [MANIFEST, LAUNCHER]),
    ("launcher-endless", "launcher body never ends (`endless=1`); the transfer must stop early",
     "launcher,runner", "", "endless=1", None, SIZE_MISMATCH, [MANIFEST, LAUNCHER]),
    ("manifest-endless", "manifest body never ends (`endless=1`); the transfer must stop early",
     "launcher,runner", "endless=1", "", None, MANIFEST_TOO_LARGE, [MANIFEST]),
    ("size-bigger", "manifest announces the launcher 1 byte larger than it is", "launcher,runner", "", "",
     wrong_launcher_size(+1), SIZE_MISMATCH, [MANIFEST, LAUNCHER]),
    ("size-smaller", "manifest announces the launcher 1 byte smaller than it is", "launcher,runner", "", "",
     wrong_launcher_size(-1), SIZE_MISMATCH, [MANIFEST, LAUNCHER]),
    ("launcher-digest", "manifest has a wrong launcher digest", "launcher,runner", "", "",
     wrong_digest("launcherSha256"), BAD_DIGEST, [MANIFEST, LAUNCHER]),
    ("runner-digest", "manifest has a wrong runner digest (runner only)", "runner", "", "",
     wrong_digest("runnerSha256"), BAD_DIGEST, [MANIFEST, RUNNER_ZIP]),
    ("manifest-to-http", "manifest request redirected from https to http (302)", "launcher,runner",
     to_http(MANIFEST), "", None, HTTP_ERROR, [MANIFEST]),
    ("launcher-to-http", "launcher download redirected from https to http (302)", "launcher,runner",
     "", to_http(LAUNCHER), None, HTTP_ERROR, [MANIFEST, LAUNCHER]),
]


@pytest.mark.parametrize("case", FAILURES, ids=[row[0] for row in FAILURES])
def test_server_fault_fails_and_changes_nothing(harness, matrix, case):
    _, scenario, components, manifest_fault, payload_fault, change, message, requested = case
    install = make_installation(harness.directory("install"), harness.directory("log"))
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    if change:
        change(release)
    manifest_fault = manifest_fault(release) if callable(manifest_fault) else manifest_fault
    payload_fault = payload_fault(release) if callable(payload_fault) else payload_fault
    scene = Scene(install, release, components)
    outcome = drive(harness, update_args(release, install, components, manifest_fault, payload_fault),
                    launcher_behaviour=install.launcher_env())

    problems = judge_failure(scene, outcome, message, BEFORE_INSTALL)
    log = settled_requests(release)
    if [name for name, _, _ in log] != requested:
        problems.append(f"requests made: {[name for name, _, _ in log]}, not {requested}")
    if "endless" in manifest_fault + payload_fault:
        sent = max((sent for _, _, sent in log), default=0)
        if sent > EARLY_STOP_LIMIT:
            problems.append(f"the service sent {sent} bytes before the updater stopped reading")
    observed = describe(scene, outcome, problems)
    if "endless" in manifest_fault + payload_fault:
        # Rounded up to 8 MiB steps, so the matrix does not change from run to run.
        sent = max(sent for _, _, sent in log)
        observed += f"; the service's log shows under {-(-max(sent, 1) // (8 * MiB)) * 8} MiB sent"
    matrix.record("Network", scenario, f"exit 1, “{message}”, installation unchanged", observed, problems)
    scene.tidy()
    assert not problems, observed


def test_untrusted_certificate_fails(harness, matrix):
    install = make_installation(harness.directory("install"), harness.directory("log"))
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    with second_service(harness.directory("untrusted")) as untrusted:
        cases = [("manifest from a server whose certificate comes from an untrusted authority",
                  update_args(release, install, base=untrusted)),
                 ("payloads from a server whose certificate comes from an untrusted authority",
                  update_args(release, install, payload_base=untrusted))]
        failures = []
        for scenario, args in cases:
            scene = Scene(install, release)
            outcome = drive(harness, args, launcher_behaviour=install.launcher_env())
            problems = judge_failure(scene, outcome, UNREACHABLE, BEFORE_INSTALL)
            observed = describe(scene, outcome, problems)
            matrix.record("Network", scenario, f"exit 1, “{UNREACHABLE}”, installation unchanged", observed,
                          problems)
            scene.tidy()
            failures += problems
    assert not failures


def test_https_to_the_plain_http_port_fails(harness, matrix):
    install = make_installation(harness.directory("install"), harness.directory("log"))
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    plain_as_tls = os.environ["VORN_TEST_HTTP"].replace("http://127.0.0.1", "https://localhost")
    scene = Scene(install, release)
    outcome = drive(harness, update_args(release, install, base=plain_as_tls),
                    launcher_behaviour=install.launcher_env())
    problems = judge_failure(scene, outcome, UNREACHABLE, BEFORE_INSTALL)
    observed = describe(scene, outcome, problems)
    matrix.record("Network", "https spoken to the service's plain HTTP port (no TLS at all)",
                  f"exit 1, “{UNREACHABLE}”, installation unchanged", observed, problems)
    scene.tidy()
    assert not problems, observed


def to_https(name):
    return lambda release: f"redirect=302,to={quoted_url(https_url(release, name))}"


# id, scenario, fault on the manifest, fault on both payloads.
SUCCESSES = [
    ("slow", "slow server: a 40 ms pause between 64 KiB pieces of both payloads (`slow=40`)", "", "slow=40"),
    ("delay", "server waits 3 s before the manifest's headers (`delay=3000`)", "delay=3000", ""),
    ("https-redirect", "manifest request redirected (302) to another https address", to_https(MANIFEST), ""),
]


@pytest.mark.parametrize("case", SUCCESSES, ids=[row[0] for row in SUCCESSES])
def test_server_that_still_delivers_installs(harness, matrix, case):
    _, scenario, manifest_fault, payload_fault = case
    install = make_installation(harness.directory("install"), harness.directory("log"))
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    manifest_fault = manifest_fault(release) if callable(manifest_fault) else manifest_fault
    scene = Scene(install, release)
    outcome = drive(harness, update_args(release, install, manifest_fault=manifest_fault,
                                         payload_fault=payload_fault),
                    launcher_behaviour=install.launcher_env())
    problems = judge_success(scene, outcome)
    observed = describe(scene, outcome, problems)
    matrix.record("Network", scenario, "exit 0, release installed and confirmed", observed, problems)
    scene.tidy()
    assert not problems, observed
