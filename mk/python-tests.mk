# The Python suite: pytest over tests/python, against the installed module.

.PHONY: test-python

test-python: install ## the Python suite (pytest over tests/python)
	cd tests/python && ../../$(VPY) -m pytest -q -p no:cacheprovider
