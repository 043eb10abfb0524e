"""`karvel extract`: the Parquet of each run equals Run.extract of the same
targets, malformed targets files name their line and exit 2, a failed run
does not stop the others, and --skip-existing keeps what it would write."""

from __future__ import annotations

import random

import pytest

import karvel_cli
import morvane
from test_targeted import generated_run

pq = pytest.importorskip("pyarrow.parquet")

# A targets file of the generated runs: ppm and da, RT windows, both levels.
TARGETS_CSV = """name,mz,ppm,da,rt_start,rt_end,ms_level
wide,200,,150,,,1
narrow,150.5,400,,30,,1
late,250,,40,31,40,
fragments,180,,90,,,2
"""


def extract(argv, capsys):
    status = karvel_cli.main(["extract", *argv])
    out, err = capsys.readouterr()
    return status, out, err


def csv_columns(text):
    header, *rows = [line.split(",") for line in text.splitlines() if line]
    numbers = {"mz", "ppm", "da", "rt_start", "rt_end", "ms_level"}
    return {name: [(float(row[i]) if row[i] else None) if name in numbers else row[i] for row in rows]
            for i, name in enumerate(header)}


def has_ms2(run):
    return bool((run.scans["ms_level"] == 2).any())


@pytest.mark.parametrize("mode", ["auto", "stored", "pick"])
@pytest.mark.parametrize("seed", range(4))
def test_each_parquet_equals_the_runs_extract(tmp_path, capsys, seed, mode):
    path = generated_run(tmp_path, seed)
    with morvane.open(path) as run:
        text = TARGETS_CSV if has_ms2(run) else TARGETS_CSV.replace("fragments,180,,90,,,2\n", "")
        expected = run.extract(csv_columns(text), mode=mode)
    (tmp_path / "targets.csv").write_text(text)
    out_dir = tmp_path / "out"
    status, out, err = extract([str(path), "--targets", str(tmp_path / "targets.csv"), "-o", str(out_dir),
                                "--mode", mode, "-j", "1"], capsys)
    assert (status, err) == (0, ""), err
    target = out_dir / f"run{seed}.xic.parquet"
    assert out.startswith(f"{target}  {len(csv_columns(text)['name'])} targets, ")
    table = pq.read_table(target)
    assert table.column_names == ["name", "rt", "intensity"]
    assert table.column("name").to_pylist() == expected.column("name").to_pylist()
    for column in ("rt", "intensity"):
        assert table.column(column).to_pylist() == expected.column(column).to_pylist(), column
    assert not [name for name in out_dir.iterdir() if name.name != target.name]  # no temporaries left


# (the targets file, the line named, a piece of the message)
MALFORMED = [
    ("name,mz,ppm\na,200,10\nb,abc,10\n", 3, "mz must be a number, not 'abc'"),
    ("name,mz,ppm\na,200,10\n\n\nb,-5,10\n", 5, "mz must be a positive number"),
    ("name,mz,ppm,da\na,200,10,0.1\n", 2, "give exactly one of ppm and da"),
    ("name,mz,ppm\na,200,10\na,300,10\n", 3, "already that of row 1"),
    ("name,mz,da,rt_start,rt_end\na,200,0.1,50,40\n", 2, "rt_start 50.0 is after rt_end 40.0"),
    ("name,mz,ppm\na,200,10\nb,300\n", 3, "2 fields, the header has 3"),
    ("name,mz,ppm,ms_level\na,200,10,1.5\n", 2, "ms_level must be a level"),
    ('name,mz,ppm\n"two\nlines",200,10\nc,,10\n', 4, "mz must be a positive number, not None"),
    ("name,mz,ppm\n,200,10\n", 2, "name must be a non-empty text"),
]


@pytest.mark.parametrize("text, line, reason", MALFORMED)
def test_a_malformed_targets_file_names_its_line_and_writes_nothing(tmp_path, capsys, text, line, reason):
    path = generated_run(tmp_path, 0)
    targets = tmp_path / "targets.csv"
    targets.write_text(text)
    status, _, err = extract([str(path), "--targets", str(targets), "-o", str(tmp_path / "out")], capsys)
    assert status == 2
    assert err.startswith(f"karvel: {targets}, line {line}") and reason in err, err
    assert not (tmp_path / "out").exists() or not list((tmp_path / "out").iterdir())


@pytest.mark.parametrize("text, reason", [
    ("", "empty, expected a header line"),
    ("name,mz\na,200\n", "needs a 'ppm' or a 'da' column"),
    ("name,mz,ppm,charge\na,200,10,2\n", "unknown column(s) 'charge'"),
    ("name,mz,ppm\n", "no rows"),
    ("name,mz,mz\na,1,2\n", "a column named twice"),
])
def test_a_targets_file_wrong_as_a_whole_is_a_usage_error(tmp_path, capsys, text, reason):
    targets = tmp_path / "targets.csv"
    targets.write_text(text)
    status, _, err = extract([str(tmp_path / "none.d"), "--targets", str(targets), "-o", str(tmp_path)], capsys)
    assert status == 2 and reason in err and str(targets) in err, err


def test_a_missing_targets_file_is_a_usage_error(tmp_path, capsys):
    status, _, err = extract([str(tmp_path / "none.d"), "--targets", str(tmp_path / "no.csv"), "-o",
                              str(tmp_path)], capsys)
    assert status == 2 and "cannot read" in err and "no.csv" in err


def test_a_run_that_fails_leaves_the_others_written(tmp_path, capsys):
    runs = [generated_run(tmp_path, seed) for seed in (1, 2)]
    missing = tmp_path / "missing.d"
    targets = tmp_path / "targets.csv"
    targets.write_text("name,mz,da\nall,200,150\n")
    out_dir = tmp_path / "out"
    status, out, err = extract([str(runs[0]), str(missing), str(runs[1]), "--targets", str(targets),
                                "-o", str(out_dir), "-j", "1"], capsys)
    assert status == 1
    assert err.strip() == f"karvel: cannot extract from {missing}: No such file or directory"
    assert sorted(p.name for p in out_dir.iterdir()) == ["run1.xic.parquet", "run2.xic.parquet"]
    # A target whose window holds no spectrum fails its run, naming the row.
    targets.write_text("name,mz,da,rt_start,rt_end\nall,200,150,,\nnever,200,150,5000,6000\n")
    status, _, err = extract([str(runs[0]), "--targets", str(targets), "-o", str(tmp_path / "again")], capsys)
    assert status == 1 and "target row 2 ('never')" in err


# (targets of the first extraction, options, targets and options of the second, whether it keeps the output)
REDOS = [
    ("name,mz,da\na,200,150\n", [], "name,mz,da\na,200,150\n", [], True),
    ("name,mz,da\na,200,150\n", [], "name,mz,da\na,200.0,150\n\n", ["-j", "2"], True),
    ("name,mz,da\na,200,150\n", [], "name,mz,da\na,200,100\n", [], False),
    ("name,mz,da\na,200,150\n", [], "name,mz,da\nb,200,150\n", [], False),
    ("name,mz,da\na,200,150\n", [], "name,mz,da\na,200,150\n", ["--mode", "pick"], False),
]


@pytest.mark.parametrize("first, first_options, second, second_options, kept", REDOS)
def test_skip_existing_keeps_only_outputs_of_the_same_targets(tmp_path, capsys, first, first_options, second,
                                                            second_options, kept):
    path = generated_run(tmp_path, 3)
    targets = tmp_path / "targets.csv"
    targets.write_text(first)
    argv = [str(path), "--targets", str(targets), "-o", str(tmp_path / "out")]
    assert extract([*argv, *first_options], capsys)[0] == 0
    output = tmp_path / "out" / "run3.xic.parquet"
    before = output.stat().st_mtime_ns
    targets.write_text(second)
    status, out, _ = extract([*argv, *second_options, "--skip-existing"], capsys)
    assert status == 0 and ("already complete, kept" in out) == kept, out
    assert (output.stat().st_mtime_ns == before) == kept
    with morvane.open(path) as run:
        mode = second_options[1] if "--mode" in second_options else "auto"
        assert pq.read_table(output).equals(run.extract(csv_columns(second), mode=mode))


def test_a_damaged_output_is_extracted_again(tmp_path, capsys):
    path = generated_run(tmp_path, 0)
    targets = tmp_path / "targets.csv"
    targets.write_text("name,mz,da\na,200,150\n")
    argv = [str(path), "--targets", str(targets), "-o", str(tmp_path / "out"), "--skip-existing"]
    assert extract(argv, capsys)[0] == 0
    output = tmp_path / "out" / "run0.xic.parquet"
    good = output.read_bytes()
    output.write_bytes(good[: len(good) // 2])
    status, out, _ = extract(argv, capsys)
    assert status == 0 and "already complete" not in out
    assert pq.read_table(output).equals(pq.read_table(_copy(good, tmp_path / "good.parquet")))


def _copy(data, path):
    path.write_bytes(data)
    return path


def test_rows_of_the_targets_table_stay_in_file_order(tmp_path, capsys):
    rng = random.Random(7)
    path = generated_run(tmp_path, 5)
    names = [f"t{i}" for i in range(20)]
    rng.shuffle(names)
    rows = "".join(f"{name},{rng.uniform(100, 300):.4f},{rng.choice([5, 50, 500])}\n" for name in names)
    (tmp_path / "targets.csv").write_text("name,mz,ppm\n" + rows)
    assert extract([str(path), "--targets", str(tmp_path / "targets.csv"), "-o", str(tmp_path)], capsys)[0] == 0
    seen = pq.read_table(tmp_path / "run5.xic.parquet").column("name").to_pylist()
    assert list(dict.fromkeys(seen)) == names


# (run, flags, exit status, whether the output is written, what standard error says)
STRICT_CASES = [
    ("fallback", [], 0, True, "fell back to the default calibration"),
    ("fallback", ["--strict"], 1, False, "strict"),
    ("damaged", ["--errors", "skip"], 0, True, "skipped 1 spectrum"),
    ("damaged", ["--errors", "skip", "--strict"], 1, False, "cannot extract from"),
]


@pytest.mark.parametrize("name, flags, status, written, said", STRICT_CASES)
def test_strict_fails_a_run_the_reader_worked_around(tmp_path, capsys, name, flags, status, written, said):
    from export_runs import damaged_run
    from test_integrity import fallback_run
    run = (fallback_run if name == "fallback" else damaged_run)(tmp_path / f"{name}.d")
    targets = tmp_path / "targets.csv"
    targets.write_text("name,mz,da\nall,500,400\n")
    got, _, err = extract([str(run), "--targets", str(targets), "-o", str(tmp_path), *flags], capsys)
    assert (got, (tmp_path / f"{name}.xic.parquet").exists()) == (status, written)
    assert said in err
