"""tolvane's cost is its start-up: it must stay at the floor set by a minimal
C program that makes the same library calls, and link nothing beyond the C
library and the installer library."""

import shutil
import subprocess

import pytest



@pytest.fixture
def footprint_programs(request):
    return request.config.getoption("--test-programs")


@pytest.fixture
def twins(make_deployment, footprint_programs):
    """tolvane and the minimal program, each beside a stand-in library."""
    deployment = make_deployment()
    minimal = deployment.folder / "minimal_install"
    shutil.copy2(footprint_programs / "minimal_install", minimal)
    shutil.copy2(footprint_programs / "peak_memory", deployment.folder / "peak_memory")
    return deployment, minimal


def callgrind_instructions(deployment, program, tag):
    out = deployment.folder / f"callgrind.{tag}"
    with open(deployment.folder / f"valgrind.{tag}", "wb") as log:
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", str(program),
                        "Acme Corp", "Widget"], stdout=subprocess.DEVNULL, stderr=log, stdin=subprocess.DEVNULL,
                       env=deployment.environment({}), check=True, timeout=120)
    totals = [line for line in out.read_text().splitlines() if line.startswith("totals:")]
    return int(totals[0].split()[1])


def peak_memory_kib(deployment, program):
    meter = deployment.folder / "peak_memory"
    return int(subprocess.run([str(meter), str(program), "Acme Corp", "Widget"], stdout=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, env=deployment.environment({}), check=True).stdout.split()[-1])


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="needs valgrind")
def test_instruction_count_is_within_five_percent_of_the_floor(twins):
    deployment, minimal = twins
    tolvane = callgrind_instructions(deployment, deployment.program, "tolvane")
    floor = callgrind_instructions(deployment, minimal, "minimal")
    print(f"instructions: tolvane {tolvane}, minimal program {floor}, ratio {tolvane / floor:.4f}")
    assert tolvane <= floor * 1.05


def test_peak_memory_is_that_of_the_floor(twins):
    deployment, minimal = twins
    tolvane = peak_memory_kib(deployment, deployment.program)
    floor = peak_memory_kib(deployment, minimal)
    print(f"peak resident memory: tolvane {tolvane} KiB, minimal program {floor} KiB")
    # A page more for tolvane's own texts is the same.
    assert tolvane <= floor + 4
