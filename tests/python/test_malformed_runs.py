"""Damaged runs never crash, hang or exhaust memory: the quick size of the
corpus of malformed_runs.py (the full size runs with `make test-malformed`),
and checks that its harness catches and attributes a dying worker."""

import os

import pytest

import malformed_runs
from malformed_runs import build_bases, generate_cases, run_case_list, run_cases
from runs import small_run_builder


def test_damaged_runs_end_in_a_result_or_a_runtime_error(capsys):
    tried, failures = run_cases("quick")
    report = capsys.readouterr().out
    print(report)
    assert tried > 2000
    assert not failures, report


def test_cases_are_derived_deterministically(tmp_path):
    bases = build_bases(tmp_path)
    first = generate_cases(bases, "quick")
    assert generate_cases(bases, "quick") == first
    kinds = {operation[0] for _, operations in first for operation in operations}
    assert kinds == {"truncate", "flip", "put", "delete", "directory", "replace", "acqdata_file",
                     "empty_acqdata", "resident_bound"}


@pytest.fixture
def one_base(tmp_path):
    run = small_run_builder(284).build(tmp_path / "base.d")
    return {"base": {"path": str(run.path), "index": run.scan_index}}


def test_a_dying_worker_fails_only_its_case(one_base, monkeypatch):
    monkeypatch.setattr(malformed_runs, "BATCH_SIZE", 4)
    cases = [["base", []], ["base", [["abort"]]], ["base", [["delete", "MSScan.bin"]]],
             ["base", []], ["base", [["truncate", "MSPeak.bin", 5]]]]
    failures = run_case_list(one_base, cases, workers=1)
    assert [f.number for f in failures] == [1]
    assert "signal" in failures[0].problem


def test_a_hanging_case_is_killed(one_base, monkeypatch):
    monkeypatch.setattr(malformed_runs, "CASE_TIMEOUT_SECONDS", 3)
    cases = [["base", []], ["base", [["sleep", 60]]], ["base", []]]
    failures = run_case_list(one_base, cases, workers=1)
    assert [f.number for f in failures] == [1]
    assert "no answer" in failures[0].problem
