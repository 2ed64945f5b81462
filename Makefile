# make demo  - set everything up, then run the job on a generated sample (or INPUT=...)
# make test  - set everything up, then run the test suite
VENV    := .venv
PY      := $(VENV)/bin/python
STAMP   := $(VENV)/.kestrava-installed
SOURCES := $(shell find src kestrava_jobs -type f -not -path '*/__pycache__/*') CMakeLists.txt pyproject.toml
PYBIND11 := pybind11==3.0.2

.PHONY: all setup system-deps demo test sanitize compat bench bench-pictures bench-jobs bench-early bench-spread bench-storyboard bench-s3 bench-spread-buckets fuzz clean

all: setup

system-deps:
	@scripts/install_system_deps.sh

$(VENV)/bin/python:
	@PY310=$$(scripts/find_python310.sh) && "$$PY310" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "$(PYBIND11)" "scikit-build-core>=0.10" "pytest>=8"

# Built without isolation so the CMake build folder is reused between runs.
$(STAMP): $(VENV)/bin/python $(SOURCES) | system-deps
	$(PY) -m pip install -q --no-build-isolation ".[jobs,s3,test]"
	@touch $@

setup: system-deps $(STAMP)

demo: setup
	$(PY) scripts/demo.py $(if $(INPUT),--input "$(INPUT)")

# Two workers, one a core; cases that share a set-up or need quiet keep together (xdist_group).
# Each worker takes its cases in the suite's own order, so that what a module leaves behind
# (an environment variable, an imported app) meets the same modules as in a serial run.
test: setup
	$(PY) -m pytest -n 2 --dist loadgroup --no-loadscope-reorder $(PYTEST_ARGS)

# The test suite against an ASan/UBSan/LSan build of the module.
sanitize: setup
	scripts/sanitize.sh $(PYTEST_ARGS)

# Every source compiled against Debian 13's FFmpeg 7.1 headers, fetched into build/ (nothing installed).
compat: setup
	scripts/compat_check.sh

# kestrava against the ffmpeg CLI on a 1080p source (several minutes; not part of make test).
bench: setup
	$(PY) -m pip install -q "matplotlib>=3.7"
	$(PY) bench/run_bench.py $(if $(ROUNDS),--rounds $(ROUNDS))

# HDR against SDR, interlaced against progressive (and this build against BASELINE), paired.
bench-pictures: setup
	$(PY) bench/picture_costs.py $(if $(ROUNDS),--rounds $(ROUNDS)) $(if $(BASELINE),--baseline "$(BASELINE)")

# package_video (child process, checks, measured master) against the bare call, paired.
bench-jobs: setup
	cd bench && ../$(PY) check_overhead.py $(if $(ROUNDS),--rounds $(ROUNDS))

# package_spread over two pinned Celery workers against package_video on one, with a real
# Redis: latency, time to first play, throughput, paired (about twelve minutes when quiet).
bench-spread: setup
	cd bench && ../$(PY) spread_bench.py $(if $(ROUNDS),--rounds $(ROUNDS))

# Early publishing: time to first play, and the whole job against the job without it, paired.
bench-early: setup
	cd bench && ../$(PY) publish_early.py $(if $(ROUNDS),--rounds $(ROUNDS))

# The poster and the storyboard: package_video with them against without them on 10 s and
# 60 s of 1080p, paired (wall and CPU ratios, when the poster is in; about fifteen minutes).
bench-storyboard: setup
	cd bench && ../$(PY) storyboard_cost.py $(if $(ROUNDS),--rounds $(ROUNDS))

# package_spread over two pinned workers that share nothing but Redis and buckets (a local
# SeaweedFS): latency against one worker, first play, orchestration against a shared folder.
bench-spread-buckets: setup
	cd bench && ../$(PY) spread_buckets_bench.py $(if $(ROUNDS),--rounds $(ROUNDS))

# package_video into a bucket of a local SeaweedFS against the same job into a folder, paired:
# the whole job, first play with early publishing, the last check to the final master.
bench-s3: setup
	cd bench && ../$(PY) s3_bench.py $(if $(ROUNDS),--rounds $(ROUNDS))

# Mutation fuzzing of hls_encoder: make fuzz N=1000 [SEED=1]
fuzz: setup
	$(PY) bench/fuzz.py --runs $(or $(N),100) --seed $(or $(SEED),1)

clean:
	rm -rf build build-sanitize demo-output demo-output.*
