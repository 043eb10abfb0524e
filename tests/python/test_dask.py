"""morvane.convert and `karvel convert --scheduler` on a two-worker Dask
cluster started here (worker processes, tcp on 127.0.0.1 only)."""

import pytest

distributed = pytest.importorskip("distributed")

import karvel_cli  # noqa: E402
import morvane  # noqa: E402

from export_runs import damaged_run, leftovers, quadrupole_run, varied_run  # noqa: E402

FORMATS = ["parquet", "json", "mzpeak"] + (["mzml"] if hasattr(getattr(morvane, "Run", None), "to_mzml") else [])


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as local:
        yield local


@pytest.fixture(scope="module")
def client(cluster):
    with distributed.Client(cluster) as connected:
        yield connected


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    folder = tmp_path_factory.mktemp("dask-runs")
    return [str(varied_run(folder / "a.d", cycles=4)), str(quadrupole_run(folder / "b.d")),
            str(damaged_run(folder / "c.d")), str(varied_run(folder / "d.d", cycles=7)), str(folder / "gone.d")]


@pytest.mark.parametrize("to", FORMATS)
def test_cluster_results_match_a_sequential_conversion(tmp_path, client, paths, to):
    on_cluster = morvane.convert(paths, tmp_path / "cluster", to=to, client=client)
    here = morvane.convert(paths, tmp_path / "here", to=to, jobs=1)
    assert [r.path for r in on_cluster] == paths
    assert [r.error is None for r in on_cluster] == [r.error is None for r in here]
    assert on_cluster[-1].error and on_cluster[-1].output is None
    if to != "json":
        assert on_cluster[2].error and on_cluster[2].output is None
    for mine, theirs in zip(here, on_cluster):
        assert mine.spectra == theirs.spectra
        if mine.output is not None:
            with open(mine.output, "rb") as a, open(theirs.output, "rb") as b:
                assert a.read() == b.read(), mine.output
    assert leftovers(tmp_path / "cluster") == []


def test_command_line_with_a_scheduler_address(tmp_path, capsys, cluster, paths):
    status = karvel_cli.main(["convert", *paths, "-o", str(tmp_path), "--to", "parquet", "--ms-level", "1",
                              "--scheduler", cluster.scheduler_address])
    out, err = capsys.readouterr()
    assert status == 1
    assert [line.split(": ")[1] for line in err.splitlines()] == [f"cannot convert {p}" for p in paths[2:3] + paths[4:]]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.parquet", "b.parquet", "d.parquet"]
