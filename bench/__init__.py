"""The benchmarks: run each as a module from the repository root, e.g. python -m bench.run."""
