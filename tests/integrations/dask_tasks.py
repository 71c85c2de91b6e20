"""Values and functions of the Dask test, importable by a worker process."""

import dataclasses

import korvane


@korvane.register
@dataclasses.dataclass
class Sample:
    name: str
    values: list


def grow(sample):
    assert isinstance(sample, Sample)
    shared = sample.values
    return {
        "a": Sample(sample.name + "!", shared + [len(shared)]),
        "same": [shared, shared],
    }
