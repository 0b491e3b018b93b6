# kestrovane: the two commands most people need are `make demo` and `make test`.
.PHONY: demo test test-asan bench identity wheel format check-style clean

# Builds the package into a fresh virtual environment and prices a few options.
demo:
	@tools/demo.sh

# Builds one wheel and runs the whole test suite on NumPy 1.26 and NumPy 2.x.
test:
	@tools/run-tests.sh $(PYTEST_ARGS)

# The test suite against an AddressSanitizer + UBSan build of the module.
test-asan:
	@tools/run-asan.sh $(PYTEST_ARGS)

# Benchmarks: print ratios measured in one run.
bench:
	@tools/bench.sh

# Vector exp/log against the platform's, bit for bit, on every kernel this CPU
# runs (IDENTITY_ARGS="--count 1e9" for the long run, "--bench" for timings).
identity:
	@tools/vector_math_identity.sh $(IDENTITY_ARGS)

# The manylinux wheel, into dist/.
wheel:
	@bash -c 'source tools/common.sh && build_wheel'

format:
	@bash -c 'source tools/common.sh && venv=$$(make_venv style "$$(find_python)" "ruff==0.17.*" "clang-format==21.1.*") \
	  && "$$venv/bin/ruff" format --quiet . \
	  && git ls-files "src/*.hpp" "src/*.cpp" "tests/*.cpp" "tools/*.cpp" | xargs "$$venv/bin/clang-format" -i'

# ruff (lint and format check) and clang-format, changing nothing.
check-style:
	@tools/check-style.sh

clean:
	rm -rf build dist .venv bench/_build
