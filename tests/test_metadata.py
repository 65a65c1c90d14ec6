"""The installed distribution's metadata: what a wheel of the package tells an installer."""

import importlib.metadata

import pytest

import vesksort_native

# The metadata's parsers keep caches of their own; nothing here runs the extension's code.
pytestmark = pytest.mark.no_refleak

CLASSIFIERS = [
    "Intended Audience :: Developers",
    "Operating System :: POSIX :: Linux",
    "Programming Language :: C++",
    "Programming Language :: Python :: 3",
    "Programming Language :: Python :: 3 :: Only",
    "Programming Language :: Python :: 3.14",
    "Programming Language :: Python :: Implementation :: CPython",
    "Typing :: Typed",
]


@pytest.fixture(scope="module")
def distribution():
    return importlib.metadata.distribution("vesksort-native")


@pytest.mark.parametrize(
    ("field", "expected"),
    [
        ("Name", "vesksort-native"),
        ("Version", vesksort_native.__version__),
        ("License-Expression", "MIT"),
        ("License-File", "LICENSE"),
        ("Requires-Python", ">=3.14"),
        ("Author", "The vesksort-native developers"),
    ],
)
def test_field(distribution, field, expected):
    assert distribution.metadata.get_all(field) == [expected]


@pytest.mark.parametrize("classifier", CLASSIFIERS)
def test_classifier(distribution, classifier):
    assert classifier in distribution.metadata.get_all("Classifier", [])


@pytest.mark.parametrize("prefix", ["Development Status :: ", "Topic :: "])
def test_one_classifier_of_each_kind(distribution, prefix):
    found = [c for c in distribution.metadata.get_all("Classifier", []) if c.startswith(prefix)]
    assert len(found) == 1


def test_no_license_classifier_beside_the_expression(distribution):
    assert not any(c.startswith("License ::") for c in distribution.metadata.get_all("Classifier"))


def test_license_file_shipped(distribution):
    shipped = [f for f in distribution.files if f.parts[-2:] == ("licenses", "LICENSE")]
    assert len(shipped) == 1
    text = shipped[0].read_text(encoding="utf-8")
    assert text.startswith("MIT License\n")
    assert "Copyright (c) 2026 The vesksort-native developers" in text


def test_description_is_the_readme(distribution):
    assert distribution.metadata["Description-Content-Type"] == "text/markdown"
    assert distribution.metadata.get_payload().startswith("# vesksort-native\n")
