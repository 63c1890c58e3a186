"""The seed-corpus writer of the fuzz target: python -m fuzz.make_corpus DIRECTORY [PER_VERSION]."""
