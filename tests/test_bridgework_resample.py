"""Resampling of investor flows, compared with the straightforward per-group algorithm."""

import math
import re
import types
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

import private_core.investor.bridgework as bw
from conftest import examples
from private_core.investor.bridgework import InvestorBridgework

BRIDGE = InvestorBridgework(None)
# Unparsable date texts make pandas say it parses them one by one.
pytestmark = pytest.mark.filterwarnings("ignore:Could not infer format:UserWarning")
def per_group_resample(frame, namespace, interval):
    """One pandas resample per identifier: slow, and plainly right."""
    interval = re.sub(r"^([+-]?\d*)M$", r"\1ME", interval)  # pandas has dropped the bare month rule
    if frame.empty:
        return frame
    date_col = next((c for c in ("date", "Date") if c in frame.columns), None)
    if date_col is None:
        return frame
    working = frame.dropna(subset=[date_col])
    if working.empty:
        return frame
    working = working.copy()
    working[date_col] = pd.to_datetime(working[date_col], errors="coerce")
    working = working.dropna(subset=[date_col])
    if working.empty:
        return frame
    candidates = [InvestorBridgework._ID_FIELD.get(namespace), "symbol", "icb", "code", "ticker"]
    id_col = next((c for c in candidates if c is not None and c in working.columns), None)
    if id_col:
        working[id_col] = working[id_col].apply(bw._strict_str)
        working = working[working[id_col] != ""]
    value_cols = [c for c in working.select_dtypes(include="number").columns.tolist() if c != id_col]
    if not value_cols:
        return frame
    groups = working.groupby(id_col, group_keys=False) if id_col else [(None, working)]
    aggregated = []
    for key, rows in groups:
        resampled = rows.set_index(date_col)[value_cols].resample(interval).sum(min_count=1)
        if resampled.empty:
            continue
        resampled.index.name = date_col
        resampled = resampled.reset_index()
        if id_col and key is not None:
            resampled[id_col] = bw._strict_str(key)
        for col in rows.columns:
            if col in (date_col, id_col) or col in value_cols:
                continue
            resampled[col] = rows[col].iloc[0]
        aggregated.append(resampled)
    if not aggregated:
        return frame
    combined = pd.concat(aggregated, ignore_index=True)
    keys = [k for k in (id_col, date_col) if k and k in combined.columns]
    if not keys:
        return combined
    return combined.sort_values(keys).reset_index(drop=True)


def outcome(fn, frame, namespace, interval):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # date-format inference notes from pandas, the same for both
        try:
            return fn(frame, namespace, interval), None
        except Exception as exc:  # noqa: BLE001 - both sides must fail alike
            return None, exc


def assert_same_frame(got, expected, scale):
    """Identical columns, index, dtypes and values; float sums within the rounding bound of summation.

    pandas sums a bucket plainly or with compensation depending on how the
    groups are laid out in memory, so two correct renderings may differ in
    the last bits of a float sum: a few units of rounding of the largest
    partial sum a bucket can reach.
    """
    assert got.columns.tolist() == expected.columns.tolist()
    pd.testing.assert_series_equal(got.dtypes, expected.dtypes)
    pd.testing.assert_index_equal(got.index, expected.index, exact=True)
    for name in expected.columns:
        left, right = got[name], expected[name]
        if left.dtype.kind == "f":
            np.testing.assert_allclose(left, right, rtol=0, atol=scale * 2.0 ** -50, equal_nan=True)
        else:
            pd.testing.assert_series_equal(left, right, check_exact=True)


def summation_scale(frame):
    """Rows times the largest absolute value: a bound on every partial sum of a bucket."""
    values = frame.select_dtypes(include="float").abs()
    return len(frame) * float(np.nan_to_num(values.to_numpy(), nan=0.0).max(initial=0.0))


def assert_same(frame, namespace, interval):
    before = frame.copy()
    expected, expected_error = outcome(per_group_resample, frame, namespace, interval)
    got, error = outcome(BRIDGE._resample_frame, frame, namespace, interval)
    pd.testing.assert_frame_equal(frame, before)  # the input is never modified
    if expected_error is not None:
        assert type(error) is type(expected_error) and str(error) == str(expected_error)
        return
    assert error is None, repr(error)
    assert (got is frame) == (expected is frame)
    assert_same_frame(got, expected, summation_scale(frame))


# -- property: random frames ---------------------------------------------------------------

IDENTIFIERS = ["VNM", " VNM", "FPT ", "HPG", "", "  ", None, math.nan, 8300, "8300", 8300.5, True]
DATES = [f"2024-{m:02d}-{d:02d}" for m in (1, 2, 3, 4) for d in (1, 2, 3, 5, 8, 13, 21, 28)] + ["2024-03-31"]
RULES = ["1W", "1M", "2W", "W-MON", "3D", "1D", "MS", "QE", "12h", "2h", "ME"]
# First values of a descriptive column whose groups differ in type, zone, unit or frequency.
CARRIED = [10**20, 7, "x", pd.Timestamp("2024-01-01 09:15", tz="Europe/Berlin"),
           pd.Timestamp("2024-01-01 09:15", tz="America/New_York"), pd.Timestamp("2024-01-01 09:15:00.000000001"),
           pd.Timestamp("2024-01-01").as_unit("s"), pd.Period("2024-01", "M"), pd.Period("2024-01-05", "D")]


@st.composite
def frames(draw):
    n = draw(st.integers(1, 40))
    columns = {}
    date_kind = draw(st.sampled_from(["text", "timestamps", "Date"]))
    date_values = draw(st.lists(st.sampled_from(DATES + ["not a date", None]), min_size=n, max_size=n))
    if date_kind == "timestamps":
        date_values = [pd.Timestamp(v) if v not in (None, "not a date") else pd.NaT for v in date_values]
        hours = draw(st.lists(st.sampled_from([0, 0, 9, 23]), min_size=n, max_size=n))
        date_values = [v + pd.Timedelta(hours=h) if v is not pd.NaT else v for v, h in zip(date_values, hours)]
        zone = draw(st.sampled_from([None, "Asia/Ho_Chi_Minh", "Europe/Berlin"]))  # Berlin changes clocks on 31 March
        date_values = pd.Series(date_values, dtype="datetime64[ns]").dt.tz_localize(zone)
        date_values = date_values.dt.as_unit(draw(st.sampled_from(["ns", "s"])))
    id_kind = draw(st.sampled_from(["mixed", "text", "numbers", "nullable", "none"]))
    id_name = draw(st.sampled_from(["symbol", "icb", "code", "ticker"]))
    if id_kind == "mixed":
        columns[id_name] = draw(st.lists(st.sampled_from(IDENTIFIERS), min_size=n, max_size=n))
    elif id_kind == "text":
        columns[id_name] = draw(st.lists(st.sampled_from(["VNM", "FPT", " FPT", "MWG"]), min_size=n, max_size=n))
    elif id_kind == "numbers":
        columns[id_name] = draw(st.lists(st.sampled_from([8300, 1000, 350]), min_size=n, max_size=n))
    elif id_kind == "nullable":
        columns[id_name] = pd.array(draw(st.lists(st.sampled_from([8300, 350, None]), min_size=n, max_size=n)),
                                    dtype="Int64")
    columns["date" if date_kind != "Date" else "Date"] = date_values
    if draw(st.booleans()):
        columns["buy"] = draw(st.lists(st.integers(-10**6, 10**6), min_size=n, max_size=n))
    if draw(st.booleans()):
        columns["sell"] = draw(st.lists(st.sampled_from([0.1, 1.5, -2.25, 1e9, math.nan]), min_size=n, max_size=n))
    if draw(st.booleans()):
        columns["net"] = draw(st.lists(st.sampled_from([0.1, 0.7, 3.0]), min_size=n, max_size=n))
    if draw(st.booleans()):
        small = draw(st.lists(st.sampled_from([0.1, 2.5, math.nan]), min_size=n, max_size=n))
        columns["small"] = np.array(small, dtype=np.float32)
    if draw(st.booleans()):
        columns["group"] = draw(st.lists(st.sampled_from(["foreign", "all", None]), min_size=n, max_size=n))
    if draw(st.booleans()):
        columns["flag"] = draw(st.lists(st.booleans(), min_size=n, max_size=n))
    if draw(st.booleans()):
        columns["note"] = draw(st.lists(st.sampled_from(["a", 1, None, 2.5]), min_size=n, max_size=n))
    if draw(st.booleans()):
        columns["ref"] = pd.Series(draw(st.lists(st.sampled_from(CARRIED), min_size=n, max_size=n)), dtype=object)
    if draw(st.booleans()):
        seen = draw(st.lists(st.sampled_from(DATES[:4] + [None]), min_size=n, max_size=n))
        columns["seen"] = pd.to_datetime(pd.Series(seen)).dt.as_unit(draw(st.sampled_from(["ns", "us"])))
    names = list(columns)
    order = draw(st.permutations(names))
    return pd.DataFrame({name: columns[name] for name in order})


@pytest.mark.parametrize("shard", range(4))
def test_matches_per_group_resampling(shard):
    # 400 examples in four shards, each from a seed of its own, so that two workers share them.
    @seed(shard)
    @settings(max_examples=examples(100), deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(frame=frames(), namespace=st.sampled_from(["stock", "sector", "market", "fund"]),
           rule=st.sampled_from(RULES))
    def check(frame, namespace, rule):
        assert_same(frame, namespace, rule)

    check()


@st.composite
def market_frames(draw):
    """Daily flows of a few identifiers over different spans, with gaps and missing values."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    days = pd.bdate_range("2023-12-01", periods=120)
    parts = []
    for i in range(draw(st.integers(1, 6))):
        kept = days[int(rng.integers(0, 60)):][:int(rng.integers(1, 90))]
        kept = kept[rng.random(len(kept)) > draw(st.sampled_from([0.0, 0.3, 0.8]))]  # gaps, whole empty weeks
        value = rng.normal(0, 1e9, len(kept))
        value[rng.random(len(kept)) < 0.1] = np.nan
        parts.append(pd.DataFrame({"symbol": f"S{i}", "date": kept, "volume": rng.integers(0, 10**6, len(kept)),
                                   "value": value, "board": rng.choice(["HOSE", "HNX"]), "odd": bool(i % 2)}))
    return pd.concat(parts, ignore_index=True).sample(frac=1, random_state=int(rng.integers(0, 100)))


@settings(max_examples=examples(100), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(frame=market_frames(), rule=st.sampled_from(["1W", "1M", "W-WED", "QE", "MS", "1D", "2W"]))
def test_market_frames_match_per_group_resampling(frame, rule):
    assert_same(frame, "stock", rule)


@settings(max_examples=examples(60), deadline=None)
@given(starts=st.lists(st.integers(0, 40), min_size=1, max_size=6), rule=st.sampled_from(["2W", "3D", "5h", "2ME"]))
def test_strided_rules_follow_each_group_start(starts, rule):
    # Each group's buckets are anchored at its own first day for these rules.
    parts = []
    for i, start in enumerate(starts):
        days = pd.date_range("2024-01-01", periods=30, freq="D")[start:start + 20]
        parts.append(pd.DataFrame({"symbol": f"S{i}", "date": days, "v": np.arange(len(days), dtype=float)}))
    assert_same(pd.concat(parts, ignore_index=True), "stock", rule)


# -- the cases named for this behaviour -------------------------------------------------------


def two_stocks(days=10):
    dates = pd.date_range("2024-01-01", periods=days, freq="D")
    return pd.DataFrame({
        "symbol": ["VNM"] * days + ["FPT"] * days,
        "date": list(dates) * 2,
        "buy": list(range(days)) * 2,
        "sell": [0.5] * (2 * days),
        "group": ["foreign"] * (2 * days),
    })


def test_weekly_sums_per_stock():
    out = BRIDGE._resample_frame(two_stocks(), "stock", "1W")
    assert out.columns.tolist() == ["date", "buy", "sell", "symbol", "group"]
    assert out["symbol"].tolist() == ["FPT", "FPT", "VNM", "VNM"]
    assert out["date"].dt.strftime("%Y-%m-%d").tolist() == ["2024-01-07", "2024-01-14"] * 2
    assert out["buy"].tolist() == [21, 24, 21, 24]
    assert out.index.tolist() == [0, 1, 2, 3]


def test_month_rule_gives_month_end_buckets_without_warnings():
    frame = two_stocks(45)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = BRIDGE._resample_frame(frame, "stock", "1M")
    assert out["date"].dt.strftime("%Y-%m-%d").tolist() == ["2024-01-31", "2024-02-29"] * 2


def test_empty_week_inside_a_range_is_nan():
    frame = pd.DataFrame({"symbol": ["A", "A"], "date": ["2024-01-01", "2024-01-16"], "buy": [1, 2]})
    out = BRIDGE._resample_frame(frame, "stock", "1W")
    assert out["date"].dt.strftime("%Y-%m-%d").tolist() == ["2024-01-07", "2024-01-14", "2024-01-21"]
    assert out["buy"].tolist()[0] == 1 and math.isnan(out["buy"].tolist()[1]) and out["buy"].dtype == float


@pytest.mark.parametrize("frame", [
    pd.DataFrame(),
    pd.DataFrame({"symbol": ["A"], "value": [1]}),
    pd.DataFrame({"date": [None, None], "v": [1, 2]}),
    pd.DataFrame({"date": ["nope", "never"], "v": [1, 2]}),
    pd.DataFrame({"date": ["2024-01-01"], "symbol": ["A"], "note": ["text"]}),
    pd.DataFrame({"date": ["2024-01-01"], "symbol": [" "], "v": [1]}),
    pd.DataFrame({"date": ["2024-01-01"], "symbol": [None], "v": [1]}),
], ids=["empty", "no-date", "all-missing", "unparsable", "no-numbers", "blank-ids", "missing-ids"])
def test_frames_that_cannot_be_resampled_come_back_as_given(frame):
    assert BRIDGE._resample_frame(frame, "stock", "1W") is frame


def test_identifiers_are_compared_trimmed_and_numbers_become_text():
    frame = pd.DataFrame({"icb": [8300, " 8300", "8300 "], "date": ["2024-01-01", "2024-01-02", "2024-01-03"],
                          "v": [1, 2, 3]})
    out = BRIDGE._resample_frame(frame, "sector", "1W")
    assert out["icb"].tolist() == ["8300"] and out["v"].tolist() == [6]


def test_sector_falls_back_to_symbol_and_date_column_may_be_capitalised():
    frame = pd.DataFrame({"symbol": ["B", "A"], "Date": ["2024-01-01", "2024-01-01"], "v": [1, 2]})
    out = BRIDGE._resample_frame(frame, "sector", "1W")
    assert out.columns.tolist() == ["Date", "v", "symbol"] and out["symbol"].tolist() == ["A", "B"]


def test_without_identifier_one_group_keeps_the_first_text():
    frame = pd.DataFrame({"date": ["2024-01-09", "2024-01-01"], "v": [1, 2], "note": ["later", "first row"]})
    out = BRIDGE._resample_frame(frame, "market", "1W")
    assert out["note"].tolist() == ["later", "later"]
    assert out["date"].dt.strftime("%Y-%m-%d").tolist() == ["2024-01-07", "2024-01-14"]


def test_list_values_are_carried_whole():
    # Assigning a list to a column would spread or reject it; the group's value is kept as one cell.
    frame = pd.DataFrame({"symbol": ["A", "A", "B"], "date": ["2024-01-01", "2024-01-09", "2024-01-01"],
                          "v": [1, 2, 3], "tags": [["x", "y"], ["z"], {"k": 1}]})
    out = BRIDGE._resample_frame(frame, "stock", "1W")
    assert out["tags"].tolist() == [["x", "y"], ["x", "y"], {"k": 1}]


def test_unknown_rule_raises_like_pandas():
    expected, expected_error = outcome(per_group_resample, two_stocks(), "stock", "fortnight")
    assert expected is None
    with pytest.raises(type(expected_error)):
        BRIDGE._resample_frame(two_stocks(), "stock", "fortnight")
    with pytest.raises(TypeError, match="Argument 'interval' has incorrect type"):
        BRIDGE._resample_frame(two_stocks(), "stock", None)


@pytest.mark.parametrize("first, second", [
    (10**20, 7),
    (pd.Timestamp("2024-01-01 09:15", tz="Europe/Berlin"), pd.Timestamp("2024-01-01 09:15", tz="America/New_York")),
    (pd.Timestamp("2024-01-01 09:15"), pd.Timestamp("2024-01-01 09:15", tz="UTC")),
    (pd.Timestamp("2024-01-01 09:15").as_unit("s"), pd.Timestamp("2024-01-01 09:15:00.123456789")),
    (pd.Period("2024-01", "M"), pd.Period("2024-01-05", "D")),
], ids=["big-and-small-int", "two-zones", "naive-and-aware", "two-units", "two-frequencies"])
@pytest.mark.parametrize("rule", ["1W", "2W"])  # the shared grid and the per-group one
def test_each_group_carries_its_first_value_as_it_is(first, second, rule):
    frame = pd.DataFrame({"symbol": ["A", "A", "B"], "date": ["2024-01-01", "2024-01-09", "2024-01-02"],
                          "v": [1, 2, 3], "ref": pd.Series([first, second, second], dtype=object)})
    out = BRIDGE._resample_frame(frame, "stock", rule)
    assert [str(v) for v in out["ref"]] == [str(first)] * (len(out) - 1) + [str(second)]
    assert_same(frame, "stock", rule)


@pytest.mark.parametrize("rule", ["2h", "12h", "1D", "1W"])
def test_groups_either_side_of_a_clock_change(rule):
    stamps = pd.date_range("2024-03-29", "2024-04-02", freq="5h", tz="Europe/Berlin")
    frame = pd.DataFrame({"symbol": ["A"] * len(stamps) + ["B"] * len(stamps[12:]),
                          "date": list(stamps) + list(stamps[12:]), "v": 1.0})
    assert_same(frame, "stock", rule)


def test_an_identifier_name_of_two_columns_is_refused_as_pandas_refuses_it():
    frame = pd.DataFrame([["A", "B", "2024-01-01", 1]], columns=["symbol", "symbol", "date", "v"])
    with pytest.raises(ValueError, match="not 1-dimensional"):
        BRIDGE._resample_frame(frame, "stock", "1W")


@pytest.mark.parametrize("clean", [
    lambda value: len(str(value)),  # keys that are not texts
    lambda value: str(value).strip() + "!",  # cleaning a key again changes it
], ids=["numbers", "not-idempotent"])
def test_any_cleaning_function_gives_the_per_group_result(monkeypatch, clean):
    monkeypatch.setattr(bw, "_strict_str", clean)
    assert_same(two_stocks(20), "stock", "1W")


def test_frames_are_built_and_resampled_without_pandas_warnings():
    # pandas 2.2 warned of chained assignment on every column the bridge stored.
    rows = [{"symbol": s, "date": f"2024-01-0{d}", "timestamp": 1704412800 + d, "v": d} for s in "AB" for d in (1, 9)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        frame = BRIDGE._to_dataframe(rows, "stock")
        assert BRIDGE._resample_frame(frame, "stock", "1W")["v"].tolist() == [1, 9, 1, 9]


def test_replaced_cleaning_function_is_used(monkeypatch):
    monkeypatch.setattr(bw, "_strict_str", lambda value: str(value).lower().strip())
    frame = pd.DataFrame({"symbol": ["VNM", "vnm", None], "date": ["2024-01-01"] * 3, "v": [1, 2, 4]})
    out = BRIDGE._resample_frame(frame, "stock", "1W")
    # The missing identifier becomes "none" or "nan", as the pandas release stores it.
    assert out["symbol"].tolist()[1:] == ["vnm"] and out["v"].tolist() == [4, 3]
    assert_same(frame, "stock", "1W")


class _PandasTreatingZeroAsMissing(types.ModuleType):
    def __getattr__(self, name):
        return getattr(pd, name)

    @staticmethod
    def isna(value):
        return value == 0.0 or pd.isna(value)


def test_missing_value_rule_is_read_at_call_time(monkeypatch):
    monkeypatch.setattr(bw, "pd", _PandasTreatingZeroAsMissing("pandas"))
    assert (bw._strict_str(0.0), bw._strict_str(1.5), bw._strict_str(math.nan)) == ("", "1.5", "")
    frame = pd.DataFrame({"symbol": [0.0, 1.0, 1.0], "date": ["2024-01-01"] * 3, "v": [1, 2, 4]})
    out = BRIDGE._resample_frame(frame, "stock", "1W")
    assert out["symbol"].tolist() == ["1.0"] and out["v"].tolist() == [6]  # a blank identifier's rows are dropped
    assert_same(frame, "stock", "1W")


@pytest.mark.parametrize("rule", ["1W", "1M", "QE", "2W", "MS"])
@pytest.mark.parametrize("last", ["2024-01-07 23:59:59.999999999", "2024-03-31 23:59:59.999999999",
                                  "2024-01-06 23:59:59.999999999"])
def test_last_stamp_at_the_closing_instant_of_a_bucket(rule, last):
    # pandas keeps one more, empty bucket for such a group; so must we.
    frame = pd.DataFrame({"symbol": ["A", "A", "B"], "v": [1.0, 2.0, 3.0],
                          "date": [pd.Timestamp("2024-01-01"), pd.Timestamp(last), pd.Timestamp("2024-02-20")]})
    assert_same(frame, "stock", rule)
    assert_same(frame.assign(date=frame["date"].dt.tz_localize("Asia/Ho_Chi_Minh")), "stock", rule)
