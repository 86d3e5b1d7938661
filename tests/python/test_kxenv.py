"""The Python package kxenv on a store of the test's own: values of every
class, records of every level, failures, bytes that are not UTF-8, and a
set by another process reaching a watch."""

import atexit
import os
import shutil
import subprocess
import sys
import tempfile

STORE = tempfile.mkdtemp(prefix="kxenv-pytest.")
os.environ["KX_REGISTRY"] = STORE  # before the library's first call
atexit.register(shutil.rmtree, STORE, True)

import kxenv  # noqa: E402
import pytest  # noqa: E402


def test_values_of_every_class_and_their_records() -> None:
    for name, value, cls in [("KXP_ENV", "local", "ENV"), ("KXP_ENV", "global", "GBL"),
                             ("KXP_OPT", "option", "OPT")]:
        kxenv.set(name, value, cls)
    assert kxenv.get("kxp_env") == "local"
    assert kxenv.get("KXP_ENV", "GBL") == "global"
    assert (kxenv.get("KXP_OPT", "OPT"), kxenv.get("KXP_OPT")) == ("option", None)
    full = kxenv.record("KXP_ENV")
    assert full is not None and full.time_stamp and full.last_user
    assert (full.version, full.class_name, full.name, full.local_value,
            full.global_value, full.read_only) == (99, "ENV", "KXP_ENV", "local", "global", False)
    short = kxenv.record("KXP_ENV", level=2)
    assert short is not None and (short.global_value, short.app) == ("global", None)
    assert [found.name for found in kxenv.variables("OPT")] == ["KXP_OPT"]
    kxenv.delete("KXP_OPT", "OPT")
    assert kxenv.get("KXP_OPT", "OPT") is None
    kxenv.set("KXP_LATIN1", "caf\udce9")  # the byte E9 alone: not UTF-8
    assert kxenv.get("KXP_LATIN1") == "caf\udce9"


def test_failures_raise_error_and_bad_arguments_value_error() -> None:
    with pytest.raises(kxenv.Error, match=r"setting A\\B \(ENV\) failed"):
        kxenv.set("A\\B", "x")
    with pytest.raises(kxenv.Error, match="no variable KXP_NONE"):
        kxenv.watch("KXP_NONE")
    with pytest.raises(ValueError):
        kxenv.get("KXP_ENV", "CLASS")
    with pytest.raises(ValueError):
        kxenv.record("KXP_ENV", level=7)


def test_a_set_by_another_process_reaches_wait() -> None:
    kxenv.set("KXP_WATCHED", "before")
    with kxenv.watch("KXP_WATCHED") as change:
        assert not change.wait(0.05)
        subprocess.run([sys.executable, "-c",
                        "import kxenv; kxenv.set('KXP_WATCHED', 'after')"], check=True)
        assert change.wait(20) and not change.wait(0.05)  # armed again
    assert kxenv.get("KXP_WATCHED") == "after"
