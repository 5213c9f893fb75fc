"""The same hostile archives through View.file's extraction and the manager's admission: both
apply the member rules of View/member_rules.def, so they refuse the same members, and for those
rules in the same words."""
import io
import os
import tarfile

import pytest

from support.archives import listed, tar

from .helpers import load

OK = [("dir", "plug"), ("file", "plug/a", b"a")]
LONG = "x" * 300


@pytest.fixture
def mod():
    """The built module only (the `work` fixture points its folders into a fresh tree)."""
    return load("native", "file")


@pytest.fixture
def native(mod):
    return mod


def through_view(native, work, rows):
    os.makedirs(work.plugin, exist_ok=True)
    with open(os.path.join(work.plugin, "p.tar.gz"), "wb") as f:
        f.write(tar(listed(rows)))
    try:
        native.unzip_plugin("plugin", "p.tar.gz")
    except (tarfile.TarError, OSError) as e:
        return str(e)
    return None


def through_admission(tmp_path, rows):
    from view_plugin_manager import admission

    dest = tmp_path / "staging"
    dest.mkdir()
    checked = admission.CheckedTarFile.open(fileobj=io.BytesIO(tar(listed(rows), "")), mode="r:")
    try:
        with checked:
            admission.check_tar(checked, admission.limits_from({}), str(dest), 1 << 20,
                                str(tmp_path))
    except admission.Refusal as e:
        return str(e)
    return None


@pytest.mark.parametrize("rows, rule", [
    (OK, None),
    (OK + [("file", "/plug/b", b"b")], "path"),
    (OK + [("file", "plug/../b", b"b")], "path"),
    (OK + [("dir", "plug/sub/../../up")], "path"),
    (OK + [("sym", "plug/l", "a")], "link"),
    (OK + [("sym", "plug/out", "/etc")], "link"),
    (OK + [("hard", "plug/h", "plug/a")], "link"),
    (OK + [("chr", "plug/c")], "special"),
    (OK + [("blk", "plug/b")], "special"),
    (OK + [("fifo", "plug/f")], "special"),
])
def test_the_shared_rules_give_the_same_verdict(native, work, tmp_path, rows, rule):
    from view_plugin_manager import admission

    view, admitted = through_view(native, work, rows), through_admission(tmp_path, rows)
    assert (view is None, admitted is None) == (rule is None, rule is None)
    if rule is None:
        return
    words = admission.member_rules()[0][rule]
    assert words in admitted
    # Where tarfile has extraction filters, View.file leaves special files to tarfile's own
    # filter, which refuses them in its words; the manager names the rule itself.
    if rule != "special" or admission.FILTER is None:
        assert words in view


@pytest.mark.parametrize("rows", [
    OK + [("file", "plug/" + LONG, b"x")],                  # a name longer than NAME_MAX
    OK + [("file", "plug/a/b", b"b")],                      # below a file
    [("dir", "plug"), ("dir", "plug/d"), ("file", "plug/d", b"d")],  # a file over a folder
])
def test_what_the_file_system_refuses_both_refuse(native, work, tmp_path, rows):
    # The manager judges these before unpacking; View.file meets them while extracting, as
    # the file system's error.
    assert through_view(native, work, rows) is not None
    assert through_admission(tmp_path, rows) is not None


@pytest.mark.parametrize("rows", [
    [("dir", "one"), ("dir", "two")],
    [("file", "plug", b"a file, not a folder")],
])
def test_layout_is_the_managers_rule(native, work, tmp_path, rows):
    # One top-level folder per plug-in is how the manager lays out its store; the view
    # extracts any archive that passes the member rules.
    assert through_view(native, work, rows) is None
    assert through_admission(tmp_path, rows) is not None


def test_the_rules_text_is_read_whole():
    from view_plugin_manager import admission

    with pytest.raises(RuntimeError):
        admission.read_member_rules('MEMBER_TEST(islnk, link)\n')
    reasons, tests = admission.read_member_rules(
        'MEMBER_REASON(path, "p")\nMEMBER_REASON(link, "l")\nMEMBER_TEST(issym, link)\n')
    assert reasons == {"path": "p", "link": "l"} and tests == [("issym", "link")]
