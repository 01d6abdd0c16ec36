import gc
import logging
import re
import sys
import weakref
from datetime import datetime

import pytest

from korvex.tcl.history import Entry, History


def apis(entries):
    return [e.api for e in entries]


def test_bounded_keeps_newest_in_order():
    h = History(3)
    for item in "abcd":
        h.append(item)
    assert apis(h.filter()) == ["b", "c", "d"]


def test_iterable_and_sized_oldest_first_as_filter_gives():
    h = History(3)
    assert len(h) == 0 and list(h) == []
    for item in "abcd":
        h.append(item)
    assert len(h) == 3
    assert list(h) == h.filter(count=0)
    assert apis(h) == ["b", "c", "d"]
    h.start_marker("m")
    h.append("e")
    assert apis(h) == ["c", "d", "e"]  # the general history, not a marker's


def test_iterating_while_recording(interp):
    # Tcl work inside the loop records entries: the loop sees the entries as
    # they were when it started, and does not fail.
    interp.eval("set a 1")
    before = list(interp.history)
    seen = [entry for entry in interp.history if interp.eval("set b 2") == "2"]
    assert seen == before
    assert len(interp.history) == len(before) + len(before)


def test_unbounded_with_none():
    h = History(None)
    for i in range(10050):
        h.append(str(i))
    assert len(h.__history__) == 10050
    assert h.__history__.maxlen is None


def test_default_size():
    h = History()
    assert h.__history__.maxlen == History.__MAX_HISTORY__ == 9999
    assert str(h) == "deque([], maxlen=9999)"
    assert repr(h) == "deque([], maxlen=9999)"


@pytest.mark.parametrize("count, expected", [(0, ["a", "b", "c"]), (2, ["b", "c"]), (20, ["a", "b", "c"]),
                                             (-1, ["b", "c"])])
def test_filter_count_is_a_slice_from_the_end(count, expected):
    h = History()
    for item in "abc":
        h.append(item)
    assert apis(h.filter(count=count)) == expected


def test_filter_regex_is_applied_after_the_count_cut():
    h = History()
    for item in ["set a 1", "puts x", "set b 2"]:
        h.append(item)
    assert apis(h.filter(regex="^set")) == ["set a 1", "set b 2"]
    assert apis(h.filter(count=2, regex="^set")) == ["set b 2"]
    assert apis(h.filter(count=3, regex="^puts|b")) == ["puts x", "set b 2"]


def test_filter_bad_regex_raises_re_error():
    h = History()
    h.append("x")
    with pytest.raises(re.error):
        h.filter(regex="(")


def test_filter_returns_a_new_list_sharing_entries():
    h = History()
    h.append("x")
    first, second = h.filter(), h.filter()
    assert first is not second and first[0] is second[0] is h.__history__[0]


def test_disable_stops_recording_but_still_logs(caplog):
    h = History()
    h.disable()
    assert h.enabled is False
    with caplog.at_level(logging.DEBUG, logger="korvex.tcl"):
        h.append("set a 1")
    assert h.filter() == []
    assert "% set a 1" in caplog.messages
    h.enable()
    h.append("set b 2")
    assert apis(h.filter()) == ["set b 2"]


def test_enable_disable_log_messages(caplog):
    with caplog.at_level(logging.DEBUG, logger="korvex.tcl"):
        h = History()
        h.disable()
        h.enable()
    assert caplog.messages == ["TclHistory is enabled.", "TclHistory is disabled.", "TclHistory is enabled."]
    assert {r.name for r in caplog.records} == {"korvex.tcl"}


def test_append_logs_string_form_of_words(caplog):
    h = History()
    with caplog.at_level(logging.DEBUG, logger="korvex.tcl"):
        h.append(["set", "a b"])
    assert caplog.messages == ["% ['set', 'a b']"]


def test_enabled_is_read_by_truth():
    h = History()
    h.enabled = 0
    h.append("x")
    h.enabled = "yes"
    h.append("y")
    assert apis(h.filter()) == ["y"]


def test_markers_collect_while_active():
    h = History()
    h.start_marker("m")
    h.append("x")
    h.end_marker("m")
    h.append("y")
    assert apis(h.filter("m")) == ["x"]
    assert apis(h.filter()) == ["x", "y"]
    assert h.filter("m")[0] is h.filter()[0]


def test_marker_started_twice_collects_twice():
    h = History()
    h.start_marker("m")
    h.start_marker("m")
    h.append("x")
    h.end_marker("m")
    h.append("y")
    h.end_marker("m")
    h.append("z")
    assert apis(h.filter("m")) == ["x", "x", "y"]


def test_restarted_marker_keeps_entries_and_size():
    h = History(2)
    h.start_marker("m")
    for item in "abc":
        h.append(item)
    h.end_marker("m")
    h.start_marker("m")
    h.append("d")
    assert apis(h.filter("m")) == ["c", "d"]
    assert h.__markers__["m"].maxlen == 2


def test_end_marker_not_active_raises_value_error():
    h = History()
    with pytest.raises(ValueError):
        h.end_marker("nope")


def test_filter_missing_marker():
    h = History()
    with pytest.raises(Exception) as info:
        h.filter("nope")
    assert type(info.value) is Exception
    assert str(info.value) == "No such marker: nope"
    assert isinstance(info.value.__context__, KeyError)
    assert not info.value.__suppress_context__


def test_clear_variants():
    h = History()
    h.start_marker("m")
    h.append("x")
    h.clear(marker="m")
    assert h.filter("m") == [] and apis(h.filter()) == ["x"]
    h.append("y")
    h.clear()
    assert h.filter() == [] and apis(h.filter("m")) == ["y"]
    with pytest.raises(KeyError):
        h.clear("nope")


def test_clear_all_keeps_markers_defined_and_active():
    h = History()
    h.start_marker("a")
    h.start_marker("b")
    h.end_marker("b")
    h.append("x")
    h.clear(clear_all=True)
    assert h.filter() == [] and h.filter("a") == [] and h.filter("b") == []
    assert h.__activeMarkers__ == ["a"]
    h.append("y")
    assert apis(h.filter("a")) == ["y"] and h.filter("b") == []


@pytest.mark.parametrize("words, text", [
    (["set", "a b"], "set {a b}"),
    (("puts", "x\ty", "{"), "puts x\ty {"),
    (["a b c"], "{a b c}"),
    ([], ""),
    (iter(["x", "y z"]), "x {y z}"),
])
def test_entry_text_from_words(words, text):
    assert Entry(words).api == text


def test_entry_keeps_str_unchanged():
    text = "set a {b c}\n"
    assert Entry(text).api is text


def test_entry_with_non_string_word_stores_nothing():
    h = History()
    with pytest.raises(TypeError):
        h.append(["set", 1])
    assert h.filter() == []


def test_entry_timestamp_and_str():
    before = datetime.now()
    e = Entry("set a 1")
    after = datetime.now()
    assert isinstance(e.timestamp, datetime) and e.timestamp.tzinfo is None
    assert before <= e.timestamp <= after
    assert e.timestamp is e.timestamp
    assert str(e) == "%s: set a 1" % e.timestamp.strftime("%Y-%m-%dT%H:%M:%S.%f")
    assert repr(e) == "<Entry '%s' at %s>" % (str(e), hex(id(e)))


def test_entry_fields_are_writable():
    e = Entry("x")
    stamp = datetime(2024, 1, 31, 9, 15, 2, 123456)
    e.timestamp = stamp
    e.api = "y"
    assert str(e) == "2024-01-31T09:15:02.123456: y"


def test_entry_cycle_is_collected():
    class Text(str):
        pass

    e = Entry("x")
    t = Text("self")
    t.entry = e
    e.api = t
    ref = weakref.ref(t)
    del e, t
    gc.collect()
    assert ref() is None


def test_history_markers_and_names_are_plain_attributes():
    h = History()
    h.start_marker("m")
    assert set(vars(h)) == {"__history__", "__markers__", "__activeMarkers__", "enabled"}
    assert list(h.__markers__) == ["m"]


def test_append_argument_errors():
    h = History()
    with pytest.raises(TypeError):
        h.append()
    with pytest.raises(TypeError):
        h.append("a", "b")
    with pytest.raises(TypeError):
        h.append(items="a")
    h.append(item="a")
    assert apis(h.filter()) == ["a"]


def test_subclass_can_extend_append():
    class Counting(History):
        def append(self, item):
            self.count = getattr(self, "count", 0) + 1
            super().append(item)

    h = Counting()
    h.append("x")
    assert h.count == 1 and apis(h.filter()) == ["x"]


def test_module_logger():
    # The package attribute `history` is the shared interpreter's history, so
    # the module is taken from sys.modules.
    module = sys.modules["korvex.tcl.history"]
    assert module.log is logging.getLogger("korvex.tcl")
    with pytest.raises(AttributeError):
        module.nothing_here


def test_quick_call_entries_make_their_text_when_read(interp):
    interp.history.clear()
    interp.yarl.set("a", 5)
    interp.yarl.set("b", "x y")
    entries = interp.history.filter()
    assert [e.api for e in entries] == ["set a 5", "set b {x y}"]
    assert str(entries[0]).endswith(": set a 5") and "set a 5" in repr(entries[0])
    entries[0].api = "replaced"
    assert entries[0].api == "replaced"
    assert all(isinstance(e.api, str) for e in entries)


def test_dropped_entries_are_reused_without_touching_kept_ones(interp):
    interp.history = History(3)
    kept = []
    for i in range(60):
        interp.eval("set a %d" % i)
        interp.yarl.set("b", i)
        if i % 7 == 0:
            kept.extend(interp.history.filter())
    for entry in kept:
        assert re.fullmatch(r"set [ab] \d+", entry.api)
        assert isinstance(entry.timestamp, datetime)
    assert [e.api for e in interp.history.filter()] == ["set b 58", "set a 59", "set b 59"]
    stamps = [e.timestamp for e in interp.history.filter()]
    assert stamps == sorted(stamps)


@pytest.mark.parametrize("change", [
    lambda h: h.disable(),
    lambda h: setattr(h, "enabled", 0),
    lambda h: setattr(h, "__history__", __import__("collections").deque(maxlen=5)),
    lambda h: h.start_marker("m"),
    lambda h: setattr(h, "__activeMarkers__", []),
])
def test_recording_follows_changed_attributes(interp, change):
    interp.eval("set a 1")
    interp.yarl.set("a", 2)
    history = interp.history
    before = list(history.__history__)
    change(history)
    interp.eval("set a 3")
    interp.yarl.set("a", 4)
    now = [e.api for e in history.__history__]
    if not history.enabled:
        assert now == [e.api for e in before]
    else:
        assert now[-2:] == ["set a 3", "set a 4"]
    for name, queue in history.__markers__.items():
        assert [e.api for e in queue] == ["set a 3", "set a 4"]
