"""Command-line tools for the datasets: darknet_to_tfrecord."""
