"""A model of the payload layouts, for the tests, the benchmarks and the fuzz corpus: a payload
encoder (`encoder`), wire types that draw random values with Hypothesis, encode them and write the
JSON the decoder must give (`model`), every family's layouts in those terms (`records`), and the
shortest float texts by an independent route (`float_text`). Never installed: it is imported from
the repository's root (pytest puts it on the path; run the benchmarks and the corpus writer as
modules, `python -m bench.run`)."""
